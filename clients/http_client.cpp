// tavrinhost-http: encrypts or decrypts a file (or standard input) through a running
// tavrinhost HTTP server. The payload goes to POST /encrypt or /decrypt as {"pwd": ...,
// "body": <Base64>}; the reply is decoded and written out; --status prints GET /status.
// Options, password and files: client_common.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include <openssl/crypto.h>

#include "clients/client_common.h"
#include "clients/platform.h"

// The server refuses bodies beyond this (its request body limit, 128 MiB).
static constexpr size_t SERVER_BODY_MAX = 134217728;
static constexpr size_t REPLY_PIECE = 1 << 16;

struct HttpReply {
    int status;
    std::string status_line;
    std::string body;
};

// Splits a whole reply (read to the server's close) into status and body; the body is cut
// to Content-Length when the header is there. False when it is not a whole HTTP reply.
static bool parse_reply(const std::string& raw, HttpReply* reply)
{
    size_t header_end = raw.find("\r\n\r\n");
    if (raw.compare(0, 5, "HTTP/") != 0 || header_end == std::string::npos)
        return false;
    size_t line_end = raw.find("\r\n");
    reply->status_line = raw.substr(0, line_end);
    size_t space = reply->status_line.find(' ');
    reply->status = space == std::string::npos ? 0 : atoi(reply->status_line.c_str() + space + 1);
    reply->body = raw.substr(header_end + 4);
    for (size_t at = line_end + 2; at < header_end;) {
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

static bool send_all(intptr_t connection, const std::string& data)
{
    for (size_t at = 0; at < data.size();) {
        long n = tcp_write(connection, data.data() + at, data.size() - at);
        if (n <= 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// Sends one request and reads the reply to the server's close. False after one line on
// standard error.
static bool exchange(const ClientOptions* o, const std::string& head, const std::string& body,
                     HttpReply* reply)
{
    std::string reason;
    intptr_t connection = tcp_connect(o->host, o->port, &reason);
    if (connection < 0) {
        client_fail(o, "cannot connect to %s:%s: %s", o->host, o->port, reason.c_str());
        return false;
    }
    std::string raw;
    bool sent = send_all(connection, head) && send_all(connection, body);
    char piece[REPLY_PIECE];
    long n = 0;
    while (sent && (n = tcp_read(connection, piece, sizeof piece)) > 0)
        raw.append(piece, static_cast<size_t>(n));
    tcp_close(connection);
    bool whole = sent && n == 0 && parse_reply(raw, reply);
    OPENSSL_cleanse(piece, sizeof piece);
    OPENSSL_cleanse(raw.data(), raw.size());
    if (!whole)
        client_fail(o, "the exchange with the server failed: no complete HTTP reply");
    return whole;
}

static std::string request_head(const ClientOptions* o, const char* method, const char* path,
                                size_t body_length)
{
    return std::string(method) + " " + path + " HTTP/1.1\r\nHost: " + o->host + ":" + o->port +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body_length) +
           "\r\n\r\n";
}

static int run_status(const ClientOptions* o)
{
    HttpReply reply;
    if (!exchange(o, request_head(o, "GET", "/status", 0), {}, &reply))
        return CLIENT_EXIT_FAILED;
    if (reply.status != 200) {
        client_fail(o, "%s: %s", reply.status_line.c_str(), reply.body.c_str());
        return CLIENT_EXIT_FAILED;
    }
    printf("%s\n", reply.body.c_str());
    return CLIENT_EXIT_OK;
}

int main(int argc, char** argv)
{
    ClientOptions o;
    int parsed = client_parse_options(argc, argv, "tavrinhost-http", CLIENT_HTTP, &o);
    if (parsed != CLIENT_GO_ON)
        return parsed;
    platform_start();
    if (o.status)
        return run_status(&o);

    std::string password, payload;
    int failed = client_password(&o, &password);
    if (!failed)
        failed = client_request_text(&o, &payload);
    if (failed) {
        OPENSSL_cleanse(password.data(), password.size());
        return failed;
    }
    std::string json = "{\"pwd\":\"" + password + "\",\"body\":\"" + payload + "\"}";
    OPENSSL_cleanse(password.data(), password.size());
    OPENSSL_cleanse(payload.data(), payload.size());
    payload = std::string();
    if (json.size() > SERVER_BODY_MAX) {
        OPENSSL_cleanse(json.data(), json.size());
        client_fail(&o, "the request would be %llu bytes; the server takes at most %llu",
                    static_cast<unsigned long long>(json.size()),
                    static_cast<unsigned long long>(SERVER_BODY_MAX));
        return CLIENT_EXIT_FAILED;
    }
    HttpReply reply;
    bool exchanged =
        exchange(&o, request_head(&o, "POST", o.decrypt ? "/decrypt" : "/encrypt", json.size()),
                 json, &reply);
    OPENSSL_cleanse(json.data(), json.size());
    if (!exchanged)
        return CLIENT_EXIT_FAILED;
    if (reply.status != 200) {
        client_fail(&o, "%s: %s", reply.status_line.c_str(), reply.body.c_str());
        return CLIENT_EXIT_FAILED;
    }
    failed = client_write_result(&o, reply.body);
    OPENSSL_cleanse(reply.body.data(), reply.body.size());
    return failed;
}
