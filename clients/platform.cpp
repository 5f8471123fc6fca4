// Platform layer of the clients: the POSIX branch. A Windows branch of these same functions
// belongs in this file, beside this one.
#include "clients/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <openssl/crypto.h>

// Pipe capacity asked for (Linux): larger pipes let both sides move a whole chunk message
// in few system calls.
static constexpr int CHILD_PIPE_SIZE = 1 << 20;
static constexpr int PROGRAM_PATH_SIZE = 4096;

long fd_read(int fd, void* data, size_t length)
{
    for (;;) {
        ssize_t n = read(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
}

long fd_write(int fd, const void* data, size_t length)
{
    for (;;) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
}

void fd_close(int fd)
{
    if (fd >= 0)
        close(fd);
}

bool fd_write_pieces(int fd, const WritePiece* pieces, int count)
{
    constexpr int MAX_PIECES = 8;
    iovec parts[MAX_PIECES];
    int left = 0;
    for (int i = 0; i < count && left < MAX_PIECES; ++i)
        if (pieces[i].length > 0)
            parts[left++] = {const_cast<void*>(pieces[i].data), pieces[i].length};
    iovec* next = parts;
    while (left > 0) {
        ssize_t n = writev(fd, next, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        size_t done = static_cast<size_t>(n);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return true;
}

static int open_file(const char* path, int flags, std::string* reason)
{
    int fd = open(path, flags | O_CLOEXEC, 0600);
    if (fd < 0)
        *reason = strerror(errno);
    return fd;
}

int file_open_read(const char* path, std::string* reason)
{
    return open_file(path, O_RDONLY, reason);
}

int file_open_write(const char* path, std::string* reason)
{
    return open_file(path, O_WRONLY | O_CREAT | O_TRUNC, reason);
}

void platform_start()
{
    signal(SIGPIPE, SIG_IGN);
}

std::string default_host_program()
{
    char self[PROGRAM_PATH_SIZE];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "tavrinhost";
    std::string bin(self, static_cast<size_t>(n));
    bin.resize(bin.rfind('/'));
    std::string launcher = bin.substr(0, bin.rfind('/')) + "/tavrinhost";
    return access(launcher.c_str(), X_OK) == 0 ? launcher : bin + "/tavrinhost";
}

int terminal_read_secret(const char* prompt, std::string* line)
{
    int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0)
        return 0;
    termios saved = {};
    bool restore = tcgetattr(tty, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    fd_write(tty, prompt, strlen(prompt));
    int result = -1;
    char c = 0;
    while (fd_read(tty, &c, 1) == 1) {
        if (c == '\n' || c == '\r') {
            result = 1;
            break;
        }
        line->push_back(c);
    }
    OPENSSL_cleanse(&c, sizeof c);
    if (restore)
        tcsetattr(tty, TCSAFLUSH, &saved);
    fd_write(tty, "\n", 1);
    close(tty);
    return result;
}

bool child_start(const std::vector<std::string>& command, ChildPipes* child)
{
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0)
        return false;
    if (pipe2(from_child, O_CLOEXEC) != 0) {
        close(to_child[0]);
        close(to_child[1]);
        return false;
    }
#ifdef F_SETPIPE_SZ
    fcntl(to_child[1], F_SETPIPE_SZ, CHILD_PIPE_SIZE);
    fcntl(from_child[0], F_SETPIPE_SZ, CHILD_PIPE_SIZE);
#endif
    std::vector<char*> argv;
    for (const std::string& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        execvp(argv[0], argv.data());
        fprintf(stderr, "cannot start %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    if (pid < 0) {
        fprintf(stderr, "cannot start %s: %s\n", argv[0], strerror(errno));
        close(to_child[1]);
        close(from_child[0]);
        return false;
    }
    *child = {pid, to_child[1], from_child[0]};
    return true;
}

int child_wait(ChildPipes* child, long* peak_kib)
{
    int status = 0;
    rusage usage = {};
    while (wait4(static_cast<pid_t>(child->pid), &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (peak_kib)
        *peak_kib = usage.ru_maxrss;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void child_stop(ChildPipes* child)
{
    kill(static_cast<pid_t>(child->pid), SIGTERM);
    fd_close(child->in);
    fd_close(child->out);
    child->in = child->out = -1;
    child_wait(child, nullptr);
}

int tcp_connect(const char* host, const char* port, std::string* reason)
{
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host, port, &hints, &found);
    if (rc != 0) {
        *reason = gai_strerror(rc);
        return -1;
    }
    int s = -1;
    for (addrinfo* a = found; a != nullptr && s < 0; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0 || connect(s, a->ai_addr, a->ai_addrlen) != 0) {
            *reason = strerror(errno);
            fd_close(s);
            s = -1;
        }
    }
    freeaddrinfo(found);
    return s;
}

long tcp_read(int connection, void* data, size_t length)
{
    return fd_read(connection, data, length);
}

long tcp_write(int connection, const void* data, size_t length)
{
    return fd_write(connection, data, length);
}

void tcp_close(int connection)
{
    fd_close(connection);
}
