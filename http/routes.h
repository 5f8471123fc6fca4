// Cipher routes of the HTTP server: GET /status, /encrypt and /decrypt with a JSON body.
#pragma once

#include <cstddef>

#include "http/handler.h"

// handle_request (declared in http/handler.h, under its contract) answers:
//   OPTIONS (any path)         204, the CORS preflight: every origin may POST JSON
//   GET /status...            200 application/json HTTP_STATUS_BODY
//   /encrypt... {"pwd","body"} 200 application/octet-stream: the Base64 salted container of the
//                              Base64 plaintext in body
//   /decrypt... {"pwd","body"} 200 application/octet-stream: the Base64 plaintext of the Base64
//                              container in body (an empty plaintext: an empty body, sent)
// and every failure with a fixed status, reason phrase and text/plain body. It never returns
// null except when memory for the reply itself runs out. It keeps no state, so any number of
// connection threads may run it at once, and it releases every buffer it obtained.
//
// The password (JSON member pwd, its raw text, escapes as they stand: its bytes are the key)
// must be 1 to HTTP_PASSWORD_MAX bytes. One that begins with "." goes to the container
// unchanged (its second byte names the algorithm); any other gets HTTP_DEFAULT_PREFIX in
// front. The payload (member body) is read with its JSON escapes decoded, so that encoders
// that write "\/" or "\u003d" are understood. A string member without its closing quote is
// a missing member. No log line carries a password or a plaintext.

constexpr char HTTP_STATUS_BODY[] = "{\"status\":\"OK\",\"version\":\"1.0.2\"}";
constexpr size_t HTTP_STATUS_BODY_LENGTH = sizeof HTTP_STATUS_BODY - 1;
static_assert(HTTP_STATUS_BODY_LENGTH == 33);
constexpr char HTTP_DEFAULT_PREFIX[] = ".5";
constexpr size_t HTTP_DEFAULT_PREFIX_LENGTH = sizeof HTTP_DEFAULT_PREFIX - 1;
constexpr size_t HTTP_PASSWORD_MAX = 511;
// The container's password: prefix, password and terminator.
constexpr size_t HTTP_PASSWORD_BUFFER_SIZE = HTTP_DEFAULT_PREFIX_LENGTH + HTTP_PASSWORD_MAX + 1;
static_assert(HTTP_PASSWORD_BUFFER_SIZE == 514);

// /encrypt encrypts afresh while the Base64 container contains "AAAA", up to this many
// attempts in all; the last attempt's text is sent whatever it contains.
constexpr int HTTP_ENCRYPT_ATTEMPTS = 3;

// Headers of the preflight answer (the fixed block already allows every origin).
constexpr const char* HTTP_PREFLIGHT_HEADERS =
    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
    "Access-Control-Allow-Headers: Content-Type\r\n"
    "Access-Control-Max-Age: 86400\r\n";
