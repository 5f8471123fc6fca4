// tavrinhost-http: encrypts or decrypts a file (or standard input) through a running
// tavrinhost HTTP server.
//
//   tavrinhost-http encrypt|decrypt [-i IN] [-o OUT] [-H HOST] [-p PORT] [-a] [-k FILE]
//
// The payload goes to POST /encrypt or /decrypt as {"pwd": ..., "body": <Base64>}; the reply
// is decoded and written out. Containers are read and written as raw bytes, or as the
// server's Base64 text with -a. The password comes from the file named by -k (its first
// line), else from the environment variable TAVRINHOST_PASSWORD, else from a prompt on the
// terminal; it never appears on the command line. Exit status 0 on success, 1 on failure,
// 2 for a command line it does not understand.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include "cipher/base64.h"

static constexpr const char* USAGE =
    "usage: tavrinhost-http encrypt|decrypt [-i IN] [-o OUT] [-H HOST] [-p PORT] [-a] [-k FILE]\n"
    "  -i IN    input file (default: standard input)\n"
    "  -o OUT   output file (default: standard output)\n"
    "  -H HOST  server host (default: 127.0.0.1)\n"
    "  -p PORT  server port (default: 7777)\n"
    "  -a       containers as Base64 text instead of raw bytes\n"
    "  -k FILE  read the password from the first line of FILE\n"
    "The password is otherwise taken from TAVRINHOST_PASSWORD or asked for on the terminal.\n";

// The server refuses bodies beyond this (its request body limit, 128 MiB).
static constexpr size_t SERVER_BODY_MAX = 134217728;
static constexpr size_t PASSWORD_MAX = 511;
static constexpr size_t IO_CHUNK = 1 << 16;

struct ClientOptions {
    bool encrypt;
    bool base64Containers;
    const char* input;
    const char* output;
    const char* host;
    const char* port;
    const char* passwordFile;
};

// ---- files and terminal ---------------------------------------------------------------

static bool readAll(int fd, std::string* out)
{
    char chunk[IO_CHUNK];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        out->append(chunk, static_cast<size_t>(n));
    }
}

static bool writeAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

static void stripLineEnd(std::string* text)
{
    size_t end = text->find_first_of("\r\n");
    if (end != std::string::npos) {
        OPENSSL_cleanse(&(*text)[end], text->size() - end);
        text->resize(end);
    }
}

// Reads a line from the terminal with echo off.
static bool promptPassword(std::string* password)
{
    int tty = open("/dev/tty", O_RDWR);
    if (tty < 0)
        return false;
    termios saved = {};
    bool restore = tcgetattr(tty, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    writeAll(tty, "Password: ", 10);
    char c;
    bool ok = true;
    for (;;) {
        ssize_t n = read(tty, &c, 1);
        if (n <= 0) {
            ok = n == 0 && !password->empty();
            break;
        }
        if (c == '\n' || c == '\r')
            break;
        password->push_back(c);
    }
    OPENSSL_cleanse(&c, sizeof c);
    if (restore)
        tcsetattr(tty, TCSAFLUSH, &saved);
    writeAll(tty, "\n", 1);
    close(tty);
    return ok;
}

static bool obtainPassword(const ClientOptions* options, std::string* password)
{
    if (options->passwordFile != nullptr) {
        int fd = open(options->passwordFile, O_RDONLY);
        if (fd < 0 || !readAll(fd, password)) {
            fprintf(stderr, "tavrinhost-http: cannot read %s: %s\n", options->passwordFile,
                    strerror(errno));
            if (fd >= 0)
                close(fd);
            return false;
        }
        close(fd);
        stripLineEnd(password);
    } else if (const char* fromEnvironment = getenv("TAVRINHOST_PASSWORD")) {
        password->assign(fromEnvironment);
    } else if (!promptPassword(password)) {
        fprintf(stderr, "tavrinhost-http: no password (use -k FILE or TAVRINHOST_PASSWORD)\n");
        return false;
    }
    if (password->empty() || password->size() > PASSWORD_MAX) {
        fprintf(stderr, "tavrinhost-http: the password must be 1 to %zu bytes\n", PASSWORD_MAX);
        return false;
    }
    return true;
}

// ---- request and reply ----------------------------------------------------------------

// Appends text as the inside of a JSON string, escaped as a browser's JSON.stringify does, so
// that the server (which takes the raw text) sees the same password from every client.
static void appendJsonString(std::string* out, const std::string& text)
{
    static constexpr char HEX[] = "0123456789abcdef";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c == '\n') {
            out->append("\\n");
        } else if (c == '\r') {
            out->append("\\r");
        } else if (c == '\t') {
            out->append("\\t");
        } else if (c < 0x20) {
            out->append("\\u00");
            out->push_back(HEX[c >> 4]);
            out->push_back(HEX[c & 15]);
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
}

static int connectTo(const char* host, const char* port)
{
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host, port, &hints, &found);
    if (rc != 0) {
        fprintf(stderr, "tavrinhost-http: %s:%s: %s\n", host, port, gai_strerror(rc));
        return -1;
    }
    int s = -1;
    for (addrinfo* a = found; a != nullptr && s < 0; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s >= 0 && connect(s, a->ai_addr, a->ai_addrlen) != 0) {
            close(s);
            s = -1;
        }
    }
    if (s < 0)
        fprintf(stderr, "tavrinhost-http: cannot connect to %s:%s: %s\n", host, port,
                strerror(errno));
    freeaddrinfo(found);
    return s;
}

struct HttpReply {
    int status;
    std::string statusLine;
    std::string body;
};

// Splits a whole reply (read to the server's close) into status and body; the body is cut
// to Content-Length when the header is there. False when it is not an HTTP reply.
static bool parseReply(const std::string& raw, HttpReply* reply)
{
    size_t headerEnd = raw.find("\r\n\r\n");
    if (raw.compare(0, 5, "HTTP/") != 0 || headerEnd == std::string::npos)
        return false;
    size_t lineEnd = raw.find("\r\n");
    reply->statusLine = raw.substr(0, lineEnd);
    size_t space = reply->statusLine.find(' ');
    reply->status = space == std::string::npos ? 0 : atoi(reply->statusLine.c_str() + space + 1);
    reply->body = raw.substr(headerEnd + 4);
    for (size_t at = lineEnd + 2; at < headerEnd;) {
        size_t next = raw.find("\r\n", at);
        std::string line = raw.substr(at, next - at);
        if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0) {
            size_t declared = strtoull(line.c_str() + 15, nullptr, 10);
            if (declared > reply->body.size())
                return false; // the connection ended early
            reply->body.resize(declared);
        }
        at = next + 2;
    }
    return true;
}

static bool exchange(const ClientOptions* options, const std::string& json, HttpReply* reply)
{
    int s = connectTo(options->host, options->port);
    if (s < 0)
        return false;
    std::string head = std::string("POST ") + (options->encrypt ? "/encrypt" : "/decrypt") +
                       " HTTP/1.1\r\nHost: " + options->host + ":" + options->port +
                       "\r\nContent-Type: application/json\r\nContent-Length: " +
                       std::to_string(json.size()) + "\r\n\r\n";
    std::string raw;
    bool ok = writeAll(s, head.data(), head.size()) && writeAll(s, json.data(), json.size()) &&
              readAll(s, &raw);
    close(s);
    if (!ok) {
        fprintf(stderr, "tavrinhost-http: the exchange with the server failed: %s\n",
                strerror(errno));
        return false;
    }
    if (!parseReply(raw, reply)) {
        fprintf(stderr, "tavrinhost-http: the server sent no complete HTTP reply\n");
        return false;
    }
    return true;
}

// ---- main -----------------------------------------------------------------------------

static bool parseOptions(int argc, char** argv, ClientOptions* options)
{
    if (argc < 2)
        return false;
    if (strcmp(argv[1], "encrypt") == 0)
        options->encrypt = true;
    else if (strcmp(argv[1], "decrypt") != 0)
        return false;
    for (int i = 2; i < argc; ++i) {
        const char* flag = argv[i];
        if (strcmp(flag, "-a") == 0) {
            options->base64Containers = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        if (strcmp(flag, "-i") == 0)
            options->input = value;
        else if (strcmp(flag, "-o") == 0)
            options->output = value;
        else if (strcmp(flag, "-H") == 0)
            options->host = value;
        else if (strcmp(flag, "-p") == 0)
            options->port = value;
        else if (strcmp(flag, "-k") == 0)
            options->passwordFile = value;
        else
            return false;
    }
    return true;
}

static bool readInput(const ClientOptions* options, std::string* input)
{
    int fd = options->input ? open(options->input, O_RDONLY) : 0;
    bool ok = fd >= 0 && readAll(fd, input);
    if (!ok)
        fprintf(stderr, "tavrinhost-http: cannot read %s: %s\n",
                options->input ? options->input : "standard input", strerror(errno));
    if (fd > 0)
        close(fd);
    return ok;
}

static bool writeOutput(const ClientOptions* options, const std::string& data)
{
    int fd = options->output ? open(options->output, O_WRONLY | O_CREAT | O_TRUNC, 0600) : 1;
    bool ok = fd >= 0 && writeAll(fd, data.data(), data.size());
    if (!ok)
        fprintf(stderr, "tavrinhost-http: cannot write %s: %s\n",
                options->output ? options->output : "standard output", strerror(errno));
    if (fd > 1 && close(fd) != 0)
        ok = false;
    return ok;
}

// The Base64 text of data, or "" for no data.
static std::string toBase64(const std::string& data)
{
    if (data.empty())
        return {};
    uint32_t length = 0;
    char* text = base64_encode_buffer(reinterpret_cast<const unsigned char*>(data.data()),
                                      static_cast<int>(data.size()), &length);
    std::string out = text ? std::string(text, length) : std::string();
    free(text);
    return out;
}

static bool fromBase64(const std::string& text, std::string* out)
{
    out->clear();
    if (text.empty())
        return true;
    uint32_t length = 0;
    unsigned char* bytes = base64_decode_buffer(text.data(), static_cast<int>(text.size()), &length);
    if (bytes == nullptr)
        return false;
    out->assign(reinterpret_cast<const char*>(bytes), length);
    free(bytes);
    return true;
}

static int run(const ClientOptions* options)
{
    std::string input;
    if (!readInput(options, &input))
        return 1;
    if (input.empty()) {
        fprintf(stderr, "tavrinhost-http: the input is empty; there is nothing to %s\n",
                options->encrypt ? "encrypt" : "decrypt");
        return 1;
    }
    std::string payload;
    if (!options->encrypt && options->base64Containers) {
        stripLineEnd(&input);
        payload = input;
    } else {
        payload = toBase64(input);
        if (payload.empty()) {
            fprintf(stderr, "tavrinhost-http: the input is too large\n");
            return 1;
        }
    }
    OPENSSL_cleanse(input.data(), input.size());
    input = std::string();

    std::string password;
    if (!obtainPassword(options, &password))
        return 1;
    std::string json = "{\"pwd\":\"";
    appendJsonString(&json, password);
    OPENSSL_cleanse(password.data(), password.size());
    json += "\",\"body\":\"";
    json += payload;
    json += "\"}";
    payload = std::string();
    if (json.size() > SERVER_BODY_MAX) {
        fprintf(stderr, "tavrinhost-http: the request would be %zu bytes; the server takes at "
                        "most %zu\n",
                json.size(), SERVER_BODY_MAX);
        return 1;
    }

    HttpReply reply;
    bool exchanged = exchange(options, json, &reply);
    OPENSSL_cleanse(json.data(), json.size());
    if (!exchanged)
        return 1;
    if (reply.status != 200) {
        fprintf(stderr, "tavrinhost-http: %s: %s\n", reply.statusLine.c_str(), reply.body.c_str());
        return 1;
    }
    if (options->encrypt && options->base64Containers)
        return writeOutput(options, reply.body + "\n") ? 0 : 1;
    std::string output;
    if (!fromBase64(reply.body, &output)) {
        fprintf(stderr, "tavrinhost-http: the server's reply is not Base64\n");
        return 1;
    }
    int status = writeOutput(options, output) ? 0 : 1;
    OPENSSL_cleanse(output.data(), output.size());
    return status;
}

int main(int argc, char** argv)
{
    ClientOptions options = {false, false, nullptr, nullptr, "127.0.0.1", "7777", nullptr};
    if (!parseOptions(argc, argv, &options)) {
        fputs(USAGE, stderr);
        return 2;
    }
    return run(&options);
}
