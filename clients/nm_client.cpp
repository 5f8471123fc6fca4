// tavrinhost-nm: drives a native-messaging host from the command line, as a browser would.
// Starts the host (the launcher <build>/tavrinhost by default, or the command after "--"),
// frames one request from the password and the input, and writes the decoded result;
// --status sends the status probe. Options, password and files: client_common.h.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <openssl/crypto.h>

#include "clients/client_common.h"
#include "clients/platform.h"
#include "json/json_query.h"

namespace {

constexpr size_t FRAME_HEADER_BYTES = 4;
constexpr uint32_t CLIENT_FRAME_MAX = 1u << 30; // larger reply frames are not accepted

std::vector<std::string> host_command(const ClientOptions& o)
{
    std::vector<std::string> command(o.command, o.command + o.command_count);
    if (command.empty())
        command.push_back(default_host_program());
    return command;
}

// Writes the first message and the data in chunk messages.
void send_request(int fd, const std::string& first, const std::string& data, size_t chunk)
{
    uint32_t length = static_cast<uint32_t>(first.size());
    WritePiece head[2] = {{&length, FRAME_HEADER_BYTES}, {first.data(), first.size()}};
    if (!fd_write_pieces(fd, head, 2))
        return;
    static const char prefix[] = "{\"p\":\"";
    static const char suffix[] = "\"}";
    for (size_t at = 0; at < data.size(); at += chunk) {
        size_t piece = std::min(chunk, data.size() - at);
        length = static_cast<uint32_t>(piece + sizeof prefix - 1 + sizeof suffix - 1);
        WritePiece parts[4] = {{&length, FRAME_HEADER_BYTES},
                               {prefix, sizeof prefix - 1},
                               {data.data() + at, piece},
                               {suffix, sizeof suffix - 1}};
        if (!fd_write_pieces(fd, parts, 4))
            return;
    }
}

// Reads exactly length bytes; false at the end of input first.
bool read_exact(int fd, void* data, size_t length)
{
    char* p = static_cast<char*>(data);
    while (length > 0) {
        long n = fd_read(fd, p, length);
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

struct Reply {
    std::string data;  // the data pieces, joined
    std::string error; // text of an error member
    std::string other; // any other frame (the status reply)
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
    OPENSSL_cleanse(text.data(), text.size());
}

} // namespace

int main(int argc, char** argv)
{
    ClientOptions o;
    int parsed = client_parse_options(argc, argv, "tavrinhost-nm", CLIENT_NM, &o);
    if (parsed != CLIENT_GO_ON)
        return parsed;
    platform_start();

    std::string password;
    if (!o.status) {
        int failed = client_password(&o, &password);
        if (failed)
            return failed;
    }
    // The host starts while this process is still small: a child's peak resident size
    // includes what it shared with its parent before exec.
    ChildPipes host;
    if (!child_start(host_command(o), &host)) {
        OPENSSL_cleanse(password.data(), password.size());
        client_fail(&o, "cannot start the host");
        return CLIENT_EXIT_FAILED;
    }
    std::string first = "{\"action\":0}";
    std::string data;
    if (!o.status) {
        int failed = client_request_text(&o, &data);
        if (failed) {
            OPENSSL_cleanse(password.data(), password.size());
            child_stop(&host);
            return failed;
        }
        first = "{\"action\":" + std::string(o.decrypt ? "2" : "1") +
                ",\"raw\":" + (o.text ? "0" : "1") + ",\"length\":" + std::to_string(data.size()) +
                ",\"pwd\":\"" + password + "\"}";
        OPENSSL_cleanse(password.data(), password.size());
    }

    auto started = std::chrono::steady_clock::now();
    auto ended = started;
    std::thread writer([&] {
        send_request(host.in, first, data, o.chunk);
        fd_close(host.in);
    });
    Reply reply;
    // A reply is about as long as the request's data; growing into it would copy it.
    reply.data.reserve(data.size() + data.size() / 64 + 4096);
    read_reply(host.out, &reply, &ended);
    if (!reply.end)
        ended = std::chrono::steady_clock::now();
    writer.join();
    OPENSSL_cleanse(first.data(), first.size());
    fd_close(host.out);
    long peak_kib = 0;
    child_wait(&host, &peak_kib);

    if (o.timing) {
        double ms = std::chrono::duration<double, std::milli>(ended - started).count();
        char peak[32] = "not available";
        if (peak_kib >= 0)
            snprintf(peak, sizeof peak, "%ld KiB", peak_kib);
        fprintf(stderr, "timing: %.3f ms to the end frame, %d frames, %llu data characters, host "
                        "peak RSS %s\n",
                ms, reply.frames, static_cast<unsigned long long>(reply.data.size()), peak);
    }
    if (o.status) {
        if (reply.other.empty()) {
            client_fail(&o, "no status reply");
            return CLIENT_EXIT_FAILED;
        }
        printf("%s\n", reply.other.c_str());
        return CLIENT_EXIT_OK;
    }
    if (!reply.error.empty()) {
        client_fail(&o, "host: %s", reply.error.c_str());
        return CLIENT_EXIT_FAILED;
    }
    if (reply.malformed || !reply.end) {
        client_fail(&o, "the host's reply ended early");
        return CLIENT_EXIT_FAILED;
    }
    return client_write_result(&o, reply.data);
}
