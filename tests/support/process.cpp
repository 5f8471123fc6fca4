// Child processes for tests.
#include "tests/support/process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

static std::string program_dir()
{
    if (const char* dir = getenv("TAVRIN_PROGRAM_DIR"); dir && *dir)
        return dir;
    const char* build = getenv("TAVRIN_BUILD_DIR");
    return std::string(build ? build : ".") + "/bin";
}

// A new pseudo-terminal: the parent's end in in[1], the child's in in[0]; false when none can
// be had.
static bool open_terminal(int in[2])
{
    in[1] = posix_openpt(O_RDWR | O_NOCTTY);
    if (in[1] < 0 || grantpt(in[1]) != 0 || unlockpt(in[1]) != 0 || !ptsname(in[1]))
        return false;
    in[0] = open(ptsname(in[1]), O_RDWR | O_NOCTTY);
    return in[0] >= 0;
}

static bool start(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env, bool terminal, ChildProcess* child)
{
    signal(SIGPIPE, SIG_IGN);
    std::string path = program;
    std::vector<std::string> command = args;
    const char* runner = getenv("TAVRIN_RUNNER");
    if (runner && *runner && program.rfind(program_dir() + "/", 0) == 0 && !command.empty()) {
        path = runner;
        command[0] = program;
        command.insert(command.begin(), runner);
    }
    int in[2], out[2], err[2];
    if ((terminal ? !open_terminal(in) : pipe(in) != 0) || pipe(out) != 0 || pipe(err) != 0)
        return false;
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e)
        environment.emplace_back(*e);
    auto remove_variable = [&](const std::string& name) {
        std::erase_if(environment, [&](const std::string& e) {
            return e.compare(0, name.size() + 1, name + "=") == 0;
        });
    };
    // Programs of another build find their FIPS provider themselves, not this build's.
    const char* other = getenv("TAVRIN_PROGRAM_DIR");
    if (other && *other && program.rfind(std::string(other) + "/", 0) == 0) {
        remove_variable("OPENSSL_MODULES");
        remove_variable("OPENSSL_CONF");
    }
    for (const std::string& entry : env) {
        std::string name = entry.substr(0, entry.find('='));
        remove_variable(name);
        if (entry.size() > name.size() + 1)
            environment.push_back(entry);
    }
    std::vector<char*> argv, envp;
    for (const std::string& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : environment)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        if (terminal) {
            setsid();
            ioctl(in[0], TIOCSCTTY, 0);
        }
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    *child = {pid, in[1], out[0], err[0]};
    return true;
}

bool start_child(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, ChildProcess* child)
{
    return start(program, args, env, false, child);
}

bool start_child_on_terminal(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& env, ChildProcess* child)
{
    return start(program, args, env, true, child);
}

bool write_all(int fd, const void* data, size_t length)
{
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = write(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

static bool wait_readable(int fd, int timeout_ms)
{
    pollfd p = {fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

bool read_exact(int fd, void* data, size_t length, int timeout_ms)
{
    char* p = static_cast<char*>(data);
    while (length > 0) {
        if (!wait_readable(fd, timeout_ms))
            return false;
        ssize_t n = read(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

std::string read_to_end(int fd, int timeout_ms)
{
    std::string text;
    char buffer[65536];
    while (wait_readable(fd, timeout_ms)) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

void close_stdin(ChildProcess* child)
{
    if (child->stdin_fd >= 0)
        close(child->stdin_fd);
    child->stdin_fd = -1;
}

int wait_child(ChildProcess* child, int timeout_ms)
{
    close_stdin(child);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int r;
    while ((r = waitpid(child->pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (r == 0) {
        kill(child->pid, SIGKILL);
        waitpid(child->pid, &status, 0);
    }
    for (int* fd : {&child->stdout_fd, &child->stderr_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& env, const std::string& input)
{
    ChildProcess child;
    if (!start_child(program, args, env, &child))
        return {-1, {}, {}};
    std::thread feeder([&] {
        write_all(child.stdin_fd, input.data(), input.size());
        close_stdin(&child);
    });
    std::string err;
    std::thread errors([&] { err = read_to_end(child.stderr_fd); });
    std::string out = read_to_end(child.stdout_fd);
    feeder.join();
    errors.join();
    int status = wait_child(&child);
    return {status, out, err};
}

std::string build_program(const std::string& name)
{
    std::string path = program_dir() + "/" + name;
    if (access(path.c_str(), F_OK) != 0 && access((path + ".exe").c_str(), F_OK) == 0)
        path += ".exe";
    return path;
}

std::string this_build_program(const std::string& name)
{
    const char* build = getenv("TAVRIN_BUILD_DIR");
    return std::string(build ? build : ".") + "/bin/" + name;
}

bool windows_program(const std::string& name)
{
    return build_program(name).ends_with(".exe");
}

std::string with_line_feeds(std::string text)
{
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
        text.erase(at, 1);
    return text;
}
