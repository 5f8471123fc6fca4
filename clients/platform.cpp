// Platform layer of the clients: a Windows branch and a POSIX branch of every function of
// platform.h.
#include "clients/platform.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>

#include <openssl/crypto.h>

// Pipe capacity asked for: larger pipes let both sides move a whole chunk message in few
// system calls.
static constexpr int CHILD_PIPE_SIZE = 1 << 20;
static constexpr int PROGRAM_PATH_SIZE = 4096;

#if defined(_WIN32)

#include <io.h>
#include <sys/stat.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <psapi.h>

// The console's end-of-input character (Ctrl-Z), typed at a prompt.
static constexpr char CONSOLE_END_OF_INPUT = 0x1A;
static constexpr int SECRET_PIECE = 256; // bytes taken from the console per read

// The system's text for an error number of GetLastError or WSAGetLastError.
static std::string system_error_text(DWORD error)
{
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.'))
        --n;
    return n > 0 ? std::string(text, n) : "error " + std::to_string(error);
}

static unsigned int clamp_count(size_t length)
{
    return length > INT_MAX ? INT_MAX : static_cast<unsigned int>(length);
}

long fd_read(int fd, void* data, size_t length)
{
    return _read(fd, data, clamp_count(length));
}

long fd_write(int fd, const void* data, size_t length)
{
    return _write(fd, data, clamp_count(length));
}

void fd_close(int fd)
{
    if (fd >= 0)
        _close(fd);
}

bool fd_write_pieces(int fd, const WritePiece* pieces, int count)
{
    for (int i = 0; i < count; ++i) {
        const char* p = static_cast<const char*>(pieces[i].data);
        for (size_t left = pieces[i].length; left > 0;) {
            long n = fd_write(fd, p, left);
            if (n <= 0)
                return false;
            p += n;
            left -= static_cast<size_t>(n);
        }
    }
    return true;
}

static constexpr int OPEN_READ = _O_RDONLY | _O_BINARY | _O_NOINHERIT;
static constexpr int OPEN_WRITE = _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT;

static int open_file(const char* path, int flags)
{
    return _open(path, flags, _S_IREAD | _S_IWRITE);
}

void platform_start()
{
    _setmode(STANDARD_INPUT, _O_BINARY);
    _setmode(STANDARD_OUTPUT, _O_BINARY);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data); // a failure shows when a connection is made
}

std::string default_host_program()
{
    char self[PROGRAM_PATH_SIZE];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self)
        return "tavrinhost.exe";
    std::string folder(self, n);
    folder.resize(folder.find_last_of("\\/") + 1);
    return folder + "tavrinhost.exe";
}

int terminal_read_secret(const char* prompt, std::string* line)
{
    HANDLE in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD saved = 0;
    if (in == INVALID_HANDLE_VALUE)
        return 0;
    if (!GetConsoleMode(in, &saved)) {
        CloseHandle(in);
        return 0;
    }
    HANDLE out =
        CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    SetConsoleMode(in, (saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) &
                           ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    DWORD written = 0;
    if (out != INVALID_HANDLE_VALUE)
        WriteFile(out, prompt, static_cast<DWORD>(strlen(prompt)), &written, nullptr);
    // The console hands over a whole line, its CR LF included; all of it is taken, so that
    // nothing of it is left for the next read. Ctrl-Z may come alone.
    char piece[SECRET_PIECE];
    DWORD got = 0;
    while (ReadFile(in, piece, sizeof piece, &got, nullptr) && got > 0) {
        line->append(piece, got);
        if (line->find_first_of("\n\x1A") != std::string::npos)
            break;
    }
    OPENSSL_cleanse(piece, sizeof piece);
    // The line ends at its CR or LF; a Ctrl-Z before that ends the input instead.
    size_t end = line->find_first_of("\r\n\x1A");
    int result = end != std::string::npos && (*line)[end] != CONSOLE_END_OF_INPUT ? 1 : -1;
    if (end == std::string::npos)
        end = line->size();
    OPENSSL_cleanse(line->data() + end, line->size() - end);
    line->resize(end);
    SetConsoleMode(in, saved);
    if (out != INVALID_HANDLE_VALUE) {
        WriteFile(out, "\r\n", 2, &written, nullptr);
        CloseHandle(out);
    }
    CloseHandle(in);
    return result;
}

// Appends arg to a command line, quoted the way the C runtime's argument parser reads it
// back: backslashes are literal unless a quote follows them.
static void append_argument(std::string* line, const std::string& arg)
{
    if (!line->empty())
        line->push_back(' ');
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        line->append(arg);
        return;
    }
    line->push_back('"');
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < arg.size() && arg[i] == '\\') {
            ++i;
            ++backslashes;
        }
        if (i == arg.size()) {
            line->append(backslashes * 2, '\\');
            break;
        }
        line->append(arg[i] == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        line->push_back(arg[i]);
    }
    line->push_back('"');
}

bool child_start(const std::vector<std::string>& command, ChildPipes* child)
{
    // The child's ends are inherited; ours are not, so that the child sees the end of its
    // input when we close our end.
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE child_in = nullptr, to_child = nullptr, from_child = nullptr, child_out = nullptr;
    bool made = CreatePipe(&child_in, &to_child, &inherited, CHILD_PIPE_SIZE) &&
                CreatePipe(&from_child, &child_out, &inherited, CHILD_PIPE_SIZE) &&
                SetHandleInformation(to_child, HANDLE_FLAG_INHERIT, 0) &&
                SetHandleInformation(from_child, HANDLE_FLAG_INHERIT, 0);
    DWORD error = GetLastError();
    // Our standard error, as an inheritable copy; a process without one gives none.
    HANDLE child_err = nullptr;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (made && err != nullptr && err != INVALID_HANDLE_VALUE)
        DuplicateHandle(GetCurrentProcess(), err, GetCurrentProcess(), &child_err, 0, TRUE,
                        DUPLICATE_SAME_ACCESS);
    PROCESS_INFORMATION started = {};
    if (made) {
        std::string line;
        for (const std::string& a : command)
            append_argument(&line, a);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = child_in;
        startup.hStdOutput = child_out;
        startup.hStdError = child_err;
        made = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                              &startup, &started);
        error = GetLastError();
    }
    for (HANDLE h : {child_in, child_out, child_err})
        if (h)
            CloseHandle(h);
    if (!made) {
        for (HANDLE h : {to_child, from_child})
            if (h)
                CloseHandle(h);
        fprintf(stderr, "cannot start %s: %s\n", command[0].c_str(),
                system_error_text(error).c_str());
        return false;
    }
    CloseHandle(started.hThread);
    int in = _open_osfhandle(reinterpret_cast<intptr_t>(to_child), _O_BINARY);
    int out = _open_osfhandle(reinterpret_cast<intptr_t>(from_child), _O_BINARY | _O_RDONLY);
    *child = {static_cast<long>(started.dwProcessId), started.hProcess, in, out};
    return true;
}

int child_wait(ChildPipes* child, long* peak_kib)
{
    HANDLE process = static_cast<HANDLE>(child->process);
    WaitForSingleObject(process, INFINITE);
    DWORD status = 0;
    bool exited = GetExitCodeProcess(process, &status);
    if (peak_kib) {
        PROCESS_MEMORY_COUNTERS counters = {};
        // wine answers for another process with zeros: no process has a peak of 0.
        bool known = GetProcessMemoryInfo(process, &counters, sizeof counters) &&
                     counters.PeakWorkingSetSize > 0;
        *peak_kib = known ? static_cast<long>(counters.PeakWorkingSetSize / 1024) : -1;
    }
    CloseHandle(process);
    child->process = nullptr;
    return exited ? static_cast<int>(status) : -1;
}

static void child_terminate(ChildPipes* child)
{
    TerminateProcess(static_cast<HANDLE>(child->process), 1);
}

static std::string resolver_error(int rc)
{
    return system_error_text(static_cast<DWORD>(rc));
}

static std::string socket_error()
{
    return system_error_text(static_cast<DWORD>(WSAGetLastError()));
}

static intptr_t socket_connect(const addrinfo* a)
{
    SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET)
        return -1;
    if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
        int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        return -1;
    }
    return static_cast<intptr_t>(s);
}

long tcp_read(intptr_t connection, void* data, size_t length)
{
    return recv(static_cast<SOCKET>(connection), static_cast<char*>(data),
                static_cast<int>(clamp_count(length)), 0);
}

long tcp_write(intptr_t connection, const void* data, size_t length)
{
    return send(static_cast<SOCKET>(connection), static_cast<const char*>(data),
                static_cast<int>(clamp_count(length)), 0);
}

void tcp_close(intptr_t connection)
{
    closesocket(static_cast<SOCKET>(connection));
}

#else

#include <csignal>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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

static constexpr int OPEN_READ = O_RDONLY | O_CLOEXEC;
static constexpr int OPEN_WRITE = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;

static int open_file(const char* path, int flags)
{
    return open(path, flags, 0600);
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
    *child = {pid, nullptr, to_child[1], from_child[0]};
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

static void child_terminate(ChildPipes* child)
{
    kill(static_cast<pid_t>(child->pid), SIGTERM);
}

static std::string resolver_error(int rc)
{
    return gai_strerror(rc);
}

static std::string socket_error()
{
    return strerror(errno);
}

static intptr_t socket_connect(const addrinfo* a)
{
    int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (s < 0)
        return -1;
    if (connect(s, a->ai_addr, a->ai_addrlen) != 0) {
        int error = errno;
        close(s);
        errno = error;
        return -1;
    }
    return s;
}

long tcp_read(intptr_t connection, void* data, size_t length)
{
    return fd_read(static_cast<int>(connection), data, length);
}

long tcp_write(intptr_t connection, const void* data, size_t length)
{
    return fd_write(static_cast<int>(connection), data, length);
}

void tcp_close(intptr_t connection)
{
    fd_close(static_cast<int>(connection));
}

#endif

static int open_with_reason(const char* path, int flags, std::string* reason)
{
    int fd = open_file(path, flags);
    if (fd < 0)
        *reason = strerror(errno);
    return fd;
}

int file_open_read(const char* path, std::string* reason)
{
    return open_with_reason(path, OPEN_READ, reason);
}

int file_open_write(const char* path, std::string* reason)
{
    return open_with_reason(path, OPEN_WRITE, reason);
}

void child_stop(ChildPipes* child)
{
    child_terminate(child);
    fd_close(child->in);
    fd_close(child->out);
    child->in = child->out = -1;
    child_wait(child, nullptr);
}

intptr_t tcp_connect(const char* host, const char* port, std::string* reason)
{
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host, port, &hints, &found);
    if (rc != 0) {
        *reason = resolver_error(rc);
        return -1;
    }
    intptr_t connection = -1;
    for (const addrinfo* a = found; a != nullptr && connection < 0; a = a->ai_next) {
        connection = socket_connect(a);
        if (connection < 0)
            *reason = socket_error();
    }
    freeaddrinfo(found);
    return connection;
}
