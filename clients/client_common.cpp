// Options, password, input and result of the command-line clients.
#include "clients/client_common.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>

#include "cipher/base64.h"
#include "clients/platform.h"

static constexpr size_t READ_PIECE = 1 << 16;

// ---- options -------------------------------------------------------------------------------

enum OptionId {
    OPTION_ENCRYPT,
    OPTION_DECRYPT,
    OPTION_STATUS,
    OPTION_INPUT,
    OPTION_OUTPUT,
    OPTION_BASE64,
    OPTION_PASSWORD_FILE,
    OPTION_ALGORITHM,
    OPTION_HOST,
    OPTION_PORT,
    OPTION_CHUNK,
    OPTION_TEXT,
    OPTION_TIMING,
    OPTION_HELP
};

struct OptionRow {
    OptionId id;
    const char* letter; // null when there is only the long name
    const char* name;
    const char* value; // name of the value it takes, null for none
    int kinds;         // the clients that take it
    const char* help;
};

static constexpr int BOTH = CLIENT_NM | CLIENT_HTTP;

// Every option of both clients: one letter means one thing in both.
static const OptionRow OPTIONS[] = {
    {OPTION_ENCRYPT, "-e", "--encrypt", nullptr, BOTH,
     "encrypt the input into a container (default)"},
    {OPTION_DECRYPT, "-d", "--decrypt", nullptr, BOTH, "decrypt a container"},
    {OPTION_STATUS, nullptr, "--status", nullptr, BOTH, "print the status reply and nothing else"},
    {OPTION_INPUT, "-i", "--input", "FILE", BOTH, "input (default: standard input)"},
    {OPTION_OUTPUT, "-o", "--output", "FILE", BOTH, "result (default: standard output)"},
    {OPTION_BASE64, "-a", "--base64", nullptr, BOTH,
     "containers as Base64 text: written by -e, read by -d"},
    {OPTION_PASSWORD_FILE, "-k", "--password-file", "FILE", BOTH,
     "password from the first line of FILE"},
    {OPTION_ALGORITHM, "-m", "--algorithm", "ID", BOTH,
     "id for a password without prefix: 1 (default) 2 3 5 A C"},
    {OPTION_HOST, "-H", "--host", "HOST", CLIENT_HTTP, "server address (default 127.0.0.1)"},
    {OPTION_PORT, "-p", "--port", "PORT", CLIENT_HTTP, "server port (default 7777)"},
    {OPTION_CHUNK, "-c", "--chunk", "N", CLIENT_NM,
     "data characters per chunk message (default 1048576)"},
    {OPTION_TEXT, nullptr, "--text", nullptr, CLIENT_NM,
     "encrypt the input text as it stands (raw 0)"},
    {OPTION_TIMING, nullptr, "--timing", nullptr, CLIENT_NM,
     "time, frames and the host's peak memory, on standard error"},
    {OPTION_HELP, "-h", "--help", nullptr, BOTH, "this text"},
};

static void print_help(const ClientOptions* o)
{
    if (o->kind == CLIENT_NM)
        printf("usage: tavrinhost-nm [-e | -d | --status] [options] [-- host command...]\n"
               "Runs one request through a native-messaging host, as a browser does: the\n"
               "launcher beside the build's bin folder, or the command after \"--\".\n");
    else
        printf("usage: tavrinhost-http [-e | -d | --status] [options]\n"
               "Runs one request through a running tavrinhost HTTP server.\n");
    for (const OptionRow& row : OPTIONS) {
        if (!(row.kinds & o->kind))
            continue;
        char names[40];
        snprintf(names, sizeof names, "%s%s%s%s%s", row.letter ? row.letter : "",
                 row.letter ? ", " : "    ", row.name, row.value ? " " : "",
                 row.value ? row.value : "");
        printf("  %-26s%s\n", names, row.help);
    }
    printf(
        "The words encrypt and decrypt stand for -e and -d. The password comes from -k FILE, else\n"
        "%s, else the terminal (asked twice to encrypt); one that begins with\n"
        ".1 .2 .3 .5 .A or .C is sent as it stands. Exit status: 0 success, 1 the operation\n"
        "failed, 2 a command line it does not understand or no password.\n",
        CLIENT_PASSWORD_VARIABLE);
}

void client_fail(const ClientOptions* options, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "%s: ", options->program);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

static int usage_error(const ClientOptions* o, const char* what, const char* argument)
{
    client_fail(o, "%s %s; see %s --help", what, argument, o->program);
    return CLIENT_EXIT_USAGE;
}

// Stores a checked option value; false when it is out of range.
static bool take_value(ClientOptions* o, OptionId id, const char* value)
{
    char* end = nullptr;
    switch (id) {
    case OPTION_INPUT:
        o->input = value;
        return true;
    case OPTION_OUTPUT:
        o->output = value;
        return true;
    case OPTION_PASSWORD_FILE:
        o->password_file = value;
        return true;
    case OPTION_HOST:
        o->host = value;
        return true;
    case OPTION_ALGORITHM:
        o->algorithm = value[0];
        return value[0] != '\0' && value[1] == '\0' && strchr(CLIENT_ALGORITHM_IDS, value[0]);
    case OPTION_PORT: {
        long port = strtol(value, &end, 10);
        o->port = value;
        return *value && !*end && port > 0 && port < 65536;
    }
    case OPTION_CHUNK: {
        unsigned long long n = strtoull(value, &end, 10);
        o->chunk = static_cast<size_t>(n);
        return *value && !*end && n > 0 && n <= CLIENT_CHUNK_MAX;
    }
    default:
        return false;
    }
}

int client_parse_options(int argc, char** argv, const char* program, int kind, ClientOptions* o)
{
    *o = {};
    o->program = program;
    o->kind = kind;
    o->algorithm = CLIENT_DEFAULT_ALGORITHM;
    o->host = "127.0.0.1";
    o->port = "7777";
    o->chunk = CLIENT_CHUNK_DEFAULT;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (kind == CLIENT_NM && strcmp(a, "--") == 0) {
            o->command = argv + i + 1;
            o->command_count = argc - i - 1;
            break;
        }
        const OptionRow* row = nullptr;
        for (const OptionRow& r : OPTIONS)
            if ((r.kinds & kind) &&
                ((r.letter && strcmp(a, r.letter) == 0) || strcmp(a, r.name) == 0))
                row = &r;
        if (strcmp(a, "encrypt") == 0 || strcmp(a, "decrypt") == 0)
            row = &OPTIONS[a[0] == 'e' ? 0 : 1];
        if (!row)
            return usage_error(o, "unknown option", a);
        if (row->value) {
            if (i + 1 >= argc)
                return usage_error(o, "a value is missing after", a);
            if (!take_value(o, row->id, argv[++i]))
                return usage_error(o, "this value is not valid:", argv[i]);
            continue;
        }
        switch (row->id) {
        case OPTION_ENCRYPT:
            o->decrypt = false;
            break;
        case OPTION_DECRYPT:
            o->decrypt = true;
            break;
        case OPTION_STATUS:
            o->status = true;
            break;
        case OPTION_BASE64:
            o->base64 = true;
            break;
        case OPTION_TEXT:
            o->text = true;
            break;
        case OPTION_TIMING:
            o->timing = true;
            break;
        case OPTION_HELP:
            print_help(o);
            return CLIENT_EXIT_OK;
        default:
            break;
        }
    }
    return CLIENT_GO_ON;
}

// ---- files ---------------------------------------------------------------------------------

// Reads the whole file (standard input for null). False with the reason in *reason.
static bool read_whole(const char* path, std::string* out, std::string* reason)
{
    int fd = path ? file_open_read(path, reason) : STANDARD_INPUT;
    if (fd < 0)
        return false;
    char piece[READ_PIECE];
    long n;
    while ((n = fd_read(fd, piece, sizeof piece)) > 0)
        out->append(piece, static_cast<size_t>(n));
    if (n < 0)
        *reason = "read error";
    OPENSSL_cleanse(piece, sizeof piece);
    if (path)
        fd_close(fd);
    return n == 0;
}

static bool write_whole(int fd, const std::string& data)
{
    size_t at = 0;
    while (at < data.size()) {
        long n = fd_write(fd, data.data() + at, data.size() - at);
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// ---- password ------------------------------------------------------------------------------

static bool has_prefix(const std::string& password)
{
    return password.size() >= 2 && password[0] == '.' && password[1] != '\0' &&
           strchr(CLIENT_ALGORITHM_IDS, password[1]);
}

// Appends text as the inside of a JSON string, escaped as JSON.stringify escapes it: the host
// and the server take a password with its escapes, so every client must send the same text.
static void append_json_escaped(std::string* out, const std::string& text)
{
    static constexpr char HEX[] = "0123456789abcdef";
    static constexpr const char* SHORT = "\b\f\n\r\t";
    static constexpr const char* SHORT_NAMES = "bfnrt";
    for (unsigned char c : text) {
        const char* short_form = c ? strchr(SHORT, c) : nullptr;
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (short_form) {
            out->push_back('\\');
            out->push_back(SHORT_NAMES[short_form - SHORT]);
        } else if (c < 0x20) {
            out->append("\\u00");
            out->push_back(HEX[c >> 4]);
            out->push_back(HEX[c & 15]);
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
}

static void wipe(std::string* text)
{
    OPENSSL_cleanse(text->data(), text->size());
    text->clear();
}

// The password as typed or stored, before prefix and escapes.
static int obtain_password(const ClientOptions* o, std::string* password)
{
    if (o->password_file) {
        std::string reason;
        if (!read_whole(o->password_file, password, &reason)) {
            client_fail(o, "cannot read %s: %s", o->password_file, reason.c_str());
            return CLIENT_EXIT_FAILED;
        }
        size_t end = password->find_first_of("\r\n");
        if (end != std::string::npos) {
            OPENSSL_cleanse(password->data() + end, password->size() - end);
            password->resize(end);
        }
        return 0;
    }
    if (const char* value = getenv(CLIENT_PASSWORD_VARIABLE)) {
        password->assign(value);
        return 0;
    }
    int typed = terminal_read_secret("Password: ", password);
    if (typed == 1 && !o->decrypt && !o->status) {
        std::string again;
        typed = terminal_read_secret("Repeat the password: ", &again);
        bool same = again == *password;
        wipe(&again);
        if (typed == 1 && !same) {
            client_fail(o, "the two passwords differ");
            return CLIENT_EXIT_FAILED;
        }
    }
    if (typed != 1) {
        client_fail(o, "a password is needed: -k FILE, %s or a terminal", CLIENT_PASSWORD_VARIABLE);
        return CLIENT_EXIT_USAGE;
    }
    return 0;
}

int client_password(const ClientOptions* o, std::string* sent)
{
    std::string password;
    int failed = obtain_password(o, &password);
    if (failed) {
        wipe(&password);
        return failed;
    }
    sent->clear();
    if (!password.empty() && !has_prefix(password)) {
        sent->push_back('.');
        sent->push_back(o->algorithm);
    }
    append_json_escaped(sent, password);
    bool empty = password.empty();
    wipe(&password);
    if (empty || sent->size() > CLIENT_PASSWORD_MAX) {
        wipe(sent);
        client_fail(o, "the password must be 1 to %llu bytes as sent",
                    static_cast<unsigned long long>(CLIENT_PASSWORD_MAX));
        return CLIENT_EXIT_FAILED;
    }
    return 0;
}

// ---- input and result ----------------------------------------------------------------------

std::string client_base64(const std::string& bytes)
{
    if (bytes.empty())
        return {};
    uint32_t length = 0;
    char* text = base64_encode_buffer(reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()), &length);
    std::string out = text ? std::string(text, length) : std::string();
    free(text);
    return out;
}

bool client_from_base64(const std::string& text, std::string* bytes)
{
    bytes->clear();
    if (text.empty())
        return true;
    uint32_t length = 0;
    unsigned char* raw = base64_decode_buffer(text.data(), static_cast<int>(text.size()), &length);
    if (!raw)
        return false;
    bytes->assign(reinterpret_cast<const char*>(raw), length);
    OPENSSL_cleanse(raw, length);
    free(raw);
    return true;
}

static bool needs_escape(const std::string& text)
{
    for (unsigned char c : text)
        if (c == '"' || c == '\\' || c < 0x20)
            return true;
    return false;
}

int client_request_text(const ClientOptions* o, std::string* text)
{
    std::string input, reason;
    if (!read_whole(o->input, &input, &reason)) {
        client_fail(o, "cannot read %s: %s", o->input ? o->input : "standard input",
                    reason.c_str());
        return CLIENT_EXIT_FAILED;
    }
    if (o->decrypt && o->base64)
        input.erase(input.find_last_not_of("\r\n\t ") + 1);
    if (input.empty()) {
        client_fail(o, "the input is empty; there is nothing to %s",
                    o->decrypt ? "decrypt" : "encrypt");
        return CLIENT_EXIT_FAILED;
    }
    if (o->decrypt && o->base64) {
        *text = std::move(input);
        return 0;
    }
    if (o->text && !o->decrypt) {
        if (needs_escape(input)) {
            wipe(&input);
            client_fail(o, "--text input may not hold '\"', '\\' or control characters");
            return CLIENT_EXIT_FAILED;
        }
        *text = std::move(input);
        return 0;
    }
    *text = client_base64(input);
    wipe(&input);
    if (text->empty() || text->size() > INT32_MAX) {
        client_fail(o, "the input is too large");
        return CLIENT_EXIT_FAILED;
    }
    return 0;
}

int client_write_result(const ClientOptions* o, const std::string& reply_text)
{
    std::string result;
    if (o->base64 && !o->decrypt) {
        result = reply_text + "\n";
    } else if (!client_from_base64(reply_text, &result)) {
        client_fail(o, "the reply is not Base64 text");
        return CLIENT_EXIT_FAILED;
    }
    std::string reason = "write error";
    int fd = o->output ? file_open_write(o->output, &reason) : STANDARD_OUTPUT;
    bool written = fd >= 0 && write_whole(fd, result);
    if (o->output)
        fd_close(fd);
    wipe(&result);
    if (!written) {
        client_fail(o, "cannot write %s: %s", o->output ? o->output : "standard output",
                    reason.c_str());
        return CLIENT_EXIT_FAILED;
    }
    return 0;
}
