// The fixed replies of the cipher routes, shared by the in-process and the over-the-wire tests.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "cipher/base64.h"

// A request of the table and what answers it. body_prefix: when true, the reply body must
// only begin with body (the rest is a reason supplied by the crypto library).
struct ReplyCase {
    std::string name;
    std::string request; // raw bytes, as a client sends them
    int status;
    std::string reason;
    std::string content_type;
    std::string body;
    std::string logged; // the route's first log line for it, "" when it logs nothing
    bool body_prefix;
};

// Bytes of a request with a body (Content-Length set), or without one when body is empty
// and with_body is false.
inline std::string make_request(const std::string& method, const std::string& path,
                                const std::string& body, bool with_body = true)
{
    std::string r = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (with_body)
        r += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\n";
    return r + "\r\n" + body;
}

// The exact bytes the server sends for a reply.
inline std::string expected_reply(int status, const std::string& reason, const std::string& type,
                                  const std::string& body)
{
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
           "\r\nAccess-Control-Allow-Origin: *\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nServer: tavrinhost/1.0.2\r\nConnection: close\r\n\r\n" + body;
}

inline std::string json_body(const std::string& pwd, const std::string& payload)
{
    return "{\"pwd\":\"" + pwd + "\",\"body\":\"" + payload + "\"}";
}

// Base64 through the cipher engine, as the clients of the server use it.
inline std::string to_base64(const std::string& bytes)
{
    uint32_t length = 0;
    char* text = base64_encode_buffer(reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()), &length);
    std::string out = text ? std::string(text, length) : std::string();
    free(text);
    return out;
}

inline std::string from_base64(const std::string& text)
{
    uint32_t length = 0;
    unsigned char* bytes = base64_decode_buffer(text.data(), static_cast<int>(text.size()), &length);
    std::string out = bytes ? std::string(reinterpret_cast<char*>(bytes), length) : std::string();
    free(bytes);
    return out;
}

// Every reply of the table whose outcome does not depend on random salts.
inline std::vector<ReplyCase> fixed_reply_cases()
{
    const std::string pwd512(512, 'p');
    const std::string pwd511(511, 'p');
    // A container too short for its id: the magic and a few bytes, Base64.
    const std::string short_container = "U2FsdGVkX18BAgME";
    // Header, IV and a tag of an empty GCM plaintext; header and IV of an empty CTR one.
    const std::string gcm_bad_tag = "Salted__" + std::string(28 + 16, '\x07');
    const std::string empty_ctr = "Salted__" + std::string(32, '\x07');
    auto status = [](std::string name, std::string request) {
        return ReplyCase{std::move(name), std::move(request), 200, "OK", "application/json",
                         "{\"status\":\"OK\",\"version\":\"1.0.2\"}", "Returning server status...", false};
    };
    // A text/plain failure reply, "Bad Request" unless the reason is given.
    auto failure = [](std::string name, std::string request, int code, std::string body, std::string logged,
                      std::string reason = "Bad Request") {
        return ReplyCase{std::move(name), std::move(request), code, std::move(reason), "text/plain",
                         std::move(body), std::move(logged), false};
    };
    auto post = [](const std::string& path, const std::string& body) { return make_request("POST", path, body); };
    const std::string no_pwd = "Missing required parameter: pwd", no_body = "Missing required parameter: body";
    const std::string undecodable = "Unable to decode the provided body", invalid = "The encrypted data appears to be invalid";
    const std::string encrypting = "Encrypting client content...", decrypting = "Decrypting client content...";
    return {
        status("status probe", make_request("GET", "/status", "", false)),
        status("status probe is a prefix test", make_request("GET", "/statusx", "", false)),
        status("status probe ignores a body", make_request("GET", "/status", "{\"x\":1}")),
        failure("POST status without a body", make_request("POST", "/status", "", false), 400, "Missing request contents", ""),
        failure("declared empty body", post("/encrypt", ""), 400, "Missing request contents", ""),
        failure("GET status with the wrong method is a route", make_request("PUT", "/status", ""), 400,
                "Missing request contents", ""),
        failure("pwd missing", post("/encrypt", "{\"body\":\"aGVsbG8=\"}"), 400, no_pwd, "Error: Missing password."),
        failure("pwd empty", post("/encrypt", json_body("", "aGVsbG8=")), 400, no_pwd, "Error: Missing password."),
        failure("pwd without its closing quote", post("/encrypt", "{\"body\":\"aGk=\",\"pwd\":\"abc"), 400, no_pwd,
                "Error: Missing password."),
        failure("other path without pwd gets the pwd reply", post("/other", "{\"body\":\"aGk=\"}"), 400, no_pwd,
                "Error: Missing password."),
        failure("pwd of 512 bytes", post("/encrypt", json_body(pwd512, "aGVsbG8=")), 400,
                "Password length must be less than 512 bytes", "Error: Password overflow."),
        failure("body member missing", post("/encrypt", "{\"pwd\":\"secret\"}"), 400, no_body, "Error: Missing body."),
        failure("body member empty", post("/decrypt", json_body("secret", "")), 400, no_body, "Error: Missing body."),
        failure("body without its closing quote", post("/encrypt", "{\"pwd\":\"pw\",\"body\":\"aGk="), 400, no_body,
                "Error: Missing body."),
        failure("other path", post("/other", json_body("secret", "aGk=")), 400, "Your path must be encrypt or decrypt",
                "Invalid Request", "Bad Content"),
        failure("encrypt payload not Base64", post("/encrypt", json_body("pw", "no b64!")), 500, undecodable, encrypting),
        failure("decrypt payload not Base64", post("/decrypt", json_body("pw", "%%%%")), 500, undecodable, decrypting),
        failure("Base64 with a line break", post("/decrypt", json_body("pw", "aGVs\nbG8=")), 500, undecodable, decrypting),
        failure("a malformed JSON escape in the payload", post("/encrypt", json_body("pw", "aGk\\x")), 500, undecodable,
                encrypting),
        failure("encrypt with an unknown algorithm id", post("/encrypt", json_body(".Zsecret", "aGVsbG8=")), 500,
                "Encryption failed: Unsupported algorithm id", encrypting),
        failure("pwd \".\" alone names no algorithm", post("/encrypt", json_body(".", "aGVsbG8=")), 500,
                "Encryption failed: Unsupported algorithm id", encrypting),
        failure("encrypt with MD5 key derivation, which FIPS mode refuses", post("/encrypt", json_body(".Alegacy", "aGVsbG8=")),
                500, "Encryption failed: ", encrypting),
        failure("decrypt of a container too short", post("/decrypt", json_body("secret", short_container)), 500,
                "Decryption failed: " + invalid, decrypting),
        failure("pwd of 511 bytes reaches the container", post("/decrypt", json_body(pwd511, short_container)), 500,
                "Decryption failed: " + invalid, decrypting),
        failure("GCM container whose tag does not match", post("/decrypt", json_body(".1pw", to_base64(gcm_bad_tag))), 500,
                "Decryption failed: ", decrypting),
        {"empty plaintext is an empty body that is sent", post("/decrypt", json_body("pw", to_base64(empty_ctr))), 200,
         "OK", "application/octet-stream", "", decrypting, false},
    };
}
