// tavrinhost-nm: drives a native-messaging host from the command line, as a browser would.
// Starts the host (the launcher <build>/tavrinhost by default, or the command after "--"),
// frames one request from a password and a file or standard input, and writes the decoded
// result; --status sends the status probe.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cipher/base64.h"
#include "json/json_query.h"

namespace {

constexpr size_t CLIENT_CHUNK_DEFAULT = 1 << 20; // characters of data per chunk message
constexpr int CLIENT_PIPE_SIZE = 1 << 20;        // pipe capacity asked for (Linux)
constexpr size_t FRAME_HEADER_BYTES = 4;
constexpr uint32_t CLIENT_FRAME_MAX = 1u << 30;  // larger reply frames are not accepted

enum ExitCode { EXIT_OK = 0, EXIT_HOST_ERROR = 1, EXIT_USAGE = 2, EXIT_IO = 3 };

struct Options {
    bool status = false;
    bool decrypt = false;
    bool text = false;      // encrypt the input text itself (raw 0)
    bool base64 = false;    // input and output are Base64 text
    bool timing = false;
    const char* password = nullptr;
    const char* password_file = nullptr;
    const char* input = nullptr;
    const char* output = nullptr;
    size_t chunk = CLIENT_CHUNK_DEFAULT;
    std::vector<std::string> host;
};

void usage()
{
    fprintf(stderr,
            "usage: tavrinhost-nm [options] [-- host command...]\n"
            "  --status               ask the host for its status and print the reply\n"
            "  -e, --encrypt          encrypt the input (default)\n"
            "  -d, --decrypt          decrypt the input (a container)\n"
            "  -p, --password TEXT    password, optionally prefixed \".<id>\" (id 1 2 3 5 A C)\n"
            "  -P, --password-file F  password from the first line of F\n"
            "                         (else the environment variable TAVRINHOST_PASSWORD)\n"
            "  -i, --input FILE       input bytes (default: standard input)\n"
            "  -o, --output FILE      decoded result (default: standard output)\n"
            "      --text             encrypt the input text as it stands (raw 0)\n"
            "      --base64           input is Base64 text; write the result as Base64 text\n"
            "      --chunk N          characters of data per chunk message (default 1048576)\n"
            "      --timing           report time from first byte written to the end frame,\n"
            "                         reply frames and the host's peak memory on stderr\n"
            "The host is <build>/tavrinhost unless a command follows \"--\".\n");
}

bool parse_options(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        if (a == "--") {
            for (++i; i < argc; ++i)
                o->host.emplace_back(argv[i]);
            break;
        } else if (a == "--status") {
            o->status = true;
        } else if (a == "-e" || a == "--encrypt") {
            o->decrypt = false;
        } else if (a == "-d" || a == "--decrypt") {
            o->decrypt = true;
        } else if (a == "--text") {
            o->text = true;
        } else if (a == "--base64") {
            o->base64 = true;
        } else if (a == "--timing") {
            o->timing = true;
        } else if (a == "-p" || a == "--password") {
            if (!value(&o->password))
                return false;
        } else if (a == "-P" || a == "--password-file") {
            if (!value(&o->password_file))
                return false;
        } else if (a == "-i" || a == "--input") {
            if (!value(&o->input))
                return false;
        } else if (a == "-o" || a == "--output") {
            if (!value(&o->output))
                return false;
        } else if (a == "--chunk") {
            const char* n = nullptr;
            if (!value(&n))
                return false;
            char* end = nullptr;
            unsigned long long v = strtoull(n, &end, 10);
            if (!end || *end || v == 0 || v > CLIENT_FRAME_MAX / 2)
                return false;
            o->chunk = static_cast<size_t>(v);
        } else if (a == "-h" || a == "--help") {
            return false;
        } else {
            fprintf(stderr, "tavrinhost-nm: unknown option %s\n", argv[i]);
            return false;
        }
    }
    return true;
}

// ---- files and pipes ---------------------------------------------------------------------

bool read_file(const char* path, std::string* out)
{
    int fd = path ? open(path, O_RDONLY) : 0;
    if (fd < 0)
        return false;
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (path)
                close(fd);
            return false;
        }
        if (n == 0)
            break;
        out->append(buffer, static_cast<size_t>(n));
    }
    if (path)
        close(fd);
    return true;
}

bool write_fd(int fd, const void* data, size_t length)
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

// Writes all of the pieces in order; false when the pipe broke.
bool writev_all(int fd, iovec* parts, int count)
{
    while (count > 0) {
        ssize_t n = writev(fd, parts, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= parts->iov_len) {
            done -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + done;
            parts->iov_len -= done;
        }
    }
    return true;
}

// Reads exactly length bytes; false at the end of input first.
bool read_exact(int fd, void* data, size_t length)
{
    char* p = static_cast<char*>(data);
    while (length > 0) {
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

std::string default_host()
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "tavrinhost";
    std::string path(self, static_cast<size_t>(n));
    std::string bin = path.substr(0, path.rfind('/'));
    std::string launcher = bin.substr(0, bin.rfind('/')) + "/tavrinhost";
    if (access(launcher.c_str(), X_OK) == 0)
        return launcher;
    return bin + "/tavrinhost";
}

struct Host {
    pid_t pid = -1;
    int in = -1;  // host's standard input (we write)
    int out = -1; // host's standard output (we read)
};

bool start_host(const std::vector<std::string>& command, Host* host)
{
    int to_host[2], from_host[2];
    if (pipe2(to_host, O_CLOEXEC) != 0)
        return false;
    if (pipe2(from_host, O_CLOEXEC) != 0) {
        close(to_host[0]);
        close(to_host[1]);
        return false;
    }
#ifdef F_SETPIPE_SZ
    // Larger pipes let both sides move a whole chunk in few system calls.
    fcntl(to_host[1], F_SETPIPE_SZ, CLIENT_PIPE_SIZE);
    fcntl(from_host[0], F_SETPIPE_SZ, CLIENT_PIPE_SIZE);
#endif
    std::vector<char*> argv;
    for (const std::string& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        dup2(to_host[0], 0);
        dup2(from_host[1], 1);
        execvp(argv[0], argv.data());
        fprintf(stderr, "tavrinhost-nm: cannot start %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    close(to_host[0]);
    close(from_host[1]);
    *host = {pid, to_host[1], from_host[0]};
    return true;
}

// ---- the request -------------------------------------------------------------------------

// Texts travel inside JSON strings, and the host takes them with their escapes undecoded;
// a text that would need escaping cannot be sent as it stands.
bool needs_escape(std::string_view text)
{
    for (unsigned char c : text)
        if (c == '"' || c == '\\' || c < 0x20)
            return true;
    return false;
}

std::string frame_of(const std::string& text)
{
    uint32_t length = static_cast<uint32_t>(text.size());
    std::string out(reinterpret_cast<const char*>(&length), FRAME_HEADER_BYTES);
    return out + text;
}

// Writes the first message and the data in chunk messages.
void send_request(int fd, const std::string& first, const std::string& data, size_t chunk)
{
    std::string head = frame_of(first);
    if (!write_fd(fd, head.data(), head.size()))
        return;
    static const char prefix[] = "{\"p\":\"";
    static const char suffix[] = "\"}";
    for (size_t at = 0; at < data.size(); at += chunk) {
        size_t piece = std::min(chunk, data.size() - at);
        uint32_t length = static_cast<uint32_t>(piece + sizeof prefix - 1 + sizeof suffix - 1);
        iovec parts[4] = {{&length, FRAME_HEADER_BYTES},
                          {const_cast<char*>(prefix), sizeof prefix - 1},
                          {const_cast<char*>(data.data() + at), piece},
                          {const_cast<char*>(suffix), sizeof suffix - 1}};
        if (!writev_all(fd, parts, 4))
            return;
    }
}

struct Reply {
    std::string data;      // the data pieces, joined
    std::string error;     // text of an error member
    std::string other;     // any other frame (the status reply)
    bool end = false;
    int frames = 0;
    bool malformed = false;
};

// Reads reply frames until the end of the host's output; stops the clock at the end frame.
void read_reply(int fd, Reply* reply, std::chrono::steady_clock::time_point* ended)
{
    std::vector<char> text; // one frame, NUL-terminated; keeps its size between frames
    for (;;) {
        uint32_t length = 0;
        if (!read_exact(fd, &length, FRAME_HEADER_BYTES))
            break;
        if (length > CLIENT_FRAME_MAX) {
            reply->malformed = true;
            break;
        }
        if (text.size() < size_t{length} + 1)
            text.resize(size_t{length} + 1);
        if (!read_exact(fd, text.data(), length)) {
            reply->malformed = true;
            break;
        }
        text[length] = '\0';
        ++reply->frames;
        JsonElement e = {};
        if (json_query(text.data(), "{'data'", &e), e.type == JSON_TYPE_STRING) {
            reply->data.append(e.start, static_cast<size_t>(e.length));
        } else if (json_query(text.data(), "{'end'", &e), e.type != JSON_TYPE_ERROR) {
            reply->end = true;
            *ended = std::chrono::steady_clock::now();
        } else if (json_query(text.data(), "{'error'", &e), e.type == JSON_TYPE_STRING) {
            reply->error.assign(e.start, static_cast<size_t>(e.length));
        } else {
            reply->other.assign(text.data(), length);
        }
    }
}

bool load_password(const Options& o, std::string* password)
{
    if (o.password) {
        *password = o.password;
    } else if (o.password_file) {
        if (!read_file(o.password_file, password))
            return false;
        password->resize(std::min(password->size(), password->find_first_of("\r\n")));
    } else if (const char* env = getenv("TAVRINHOST_PASSWORD")) {
        *password = env;
    } else {
        return false;
    }
    return true;
}

std::string trim_text(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string encode(const std::string& bytes)
{
    if (bytes.empty())
        return {};
    uint32_t n = 0;
    char* text = base64_encode_buffer(reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()), &n);
    std::string out = text ? std::string(text, n) : std::string();
    free(text);
    return out;
}

bool decode(const std::string& text, std::string* bytes)
{
    if (text.empty()) {
        bytes->clear();
        return true;
    }
    uint32_t n = 0;
    unsigned char* raw = base64_decode_buffer(text.data(), static_cast<int>(text.size()), &n);
    if (!raw)
        return false;
    bytes->assign(reinterpret_cast<char*>(raw), n);
    free(raw);
    return true;
}

// The data text of the request. Returns 0, or the exit code after reporting why not.
int load_data(const Options& o, std::string* data)
{
    std::string input;
    if (!read_file(o.input, &input)) {
        fprintf(stderr, "tavrinhost-nm: cannot read %s: %s\n", o.input ? o.input : "standard input",
                strerror(errno));
        return EXIT_IO;
    }
    if (o.base64)
        *data = trim_text(std::move(input));
    else if (o.text && !o.decrypt)
        *data = std::move(input);
    else
        *data = encode(input);
    if (o.text && !o.decrypt && needs_escape(*data)) {
        fprintf(stderr, "tavrinhost-nm: --text input may not hold '\"', '\\' or control characters\n");
        return EXIT_USAGE;
    }
    if (data->empty() || data->size() > INT32_MAX) {
        fprintf(stderr, "tavrinhost-nm: the input is empty or too large\n");
        return EXIT_USAGE;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse_options(argc, argv, &o)) {
        usage();
        return EXIT_USAGE;
    }
    signal(SIGPIPE, SIG_IGN);

    std::string password;
    if (!o.status) {
        if (!load_password(o, &password) || password.empty()) {
            fprintf(stderr, "tavrinhost-nm: a password is needed (-p, -P or TAVRINHOST_PASSWORD)\n");
            return EXIT_USAGE;
        }
        if (needs_escape(password)) {
            fprintf(stderr, "tavrinhost-nm: the password may not hold '\"', '\\' or control characters\n");
            return EXIT_USAGE;
        }
    }

    // The host starts while this process is still small: a child's peak resident size
    // includes what it shared with its parent before exec.
    if (o.host.empty())
        o.host.push_back(default_host());
    Host host;
    if (!start_host(o.host, &host)) {
        fprintf(stderr, "tavrinhost-nm: cannot start the host\n");
        return EXIT_IO;
    }

    std::string first = "{\"action\":0}";
    std::string data;
    if (!o.status) {
        int failed = load_data(o, &data);
        if (failed) {
            kill(host.pid, SIGTERM);
            close(host.in);
            close(host.out);
            waitpid(host.pid, nullptr, 0);
            return failed;
        }
        first = "{\"action\":" + std::string(o.decrypt ? "2" : "1") + ",\"raw\":" + (o.text ? "0" : "1") +
                ",\"length\":" + std::to_string(data.size()) + ",\"pwd\":\"" + password + "\"}";
    }

    auto started = std::chrono::steady_clock::now();
    auto ended = started;
    std::thread writer([&] {
        send_request(host.in, first, data, o.chunk);
        close(host.in);
    });
    Reply reply;
    // A reply is about as long as the request's data; growing into it would copy it.
    reply.data.reserve(data.size() + data.size() / 64 + 4096);
    read_reply(host.out, &reply, &ended);
    if (!reply.end)
        ended = std::chrono::steady_clock::now();
    writer.join();
    close(host.out);
    int status = 0;
    rusage usage = {};
    while (wait4(host.pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }

    if (o.timing) {
        double ms = std::chrono::duration<double, std::milli>(ended - started).count();
        fprintf(stderr, "timing: %.3f ms to the end frame, %d frames, %zu data characters, host peak RSS %ld KiB\n",
                ms, reply.frames, reply.data.size(), static_cast<long>(usage.ru_maxrss));
    }
    if (o.status) {
        if (reply.other.empty()) {
            fprintf(stderr, "tavrinhost-nm: no status reply\n");
            return EXIT_HOST_ERROR;
        }
        printf("%s\n", reply.other.c_str());
        return EXIT_OK;
    }
    if (!reply.error.empty()) {
        fprintf(stderr, "tavrinhost-nm: host: %s\n", reply.error.c_str());
        return EXIT_HOST_ERROR;
    }
    if (reply.malformed || !reply.end) {
        fprintf(stderr, "tavrinhost-nm: the host's reply ended early\n");
        return EXIT_HOST_ERROR;
    }
    std::string result;
    if (o.base64) {
        result = reply.data;
        result.push_back('\n');
    } else if (!decode(reply.data, &result)) {
        fprintf(stderr, "tavrinhost-nm: the host's reply is not Base64\n");
        return EXIT_HOST_ERROR;
    }
    int out = o.output ? open(o.output, O_WRONLY | O_CREAT | O_TRUNC, 0600) : 1;
    if (out < 0 || !write_fd(out, result.data(), result.size())) {
        fprintf(stderr, "tavrinhost-nm: cannot write %s\n", o.output ? o.output : "standard output");
        return EXIT_IO;
    }
    if (o.output)
        close(out);
    return EXIT_OK;
}
