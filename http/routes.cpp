// Cipher routes of the HTTP server: the status probe, /encrypt and /decrypt.
#include "http/routes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>

#include "cipher/base64.h"
#include "cipher/container.h"
#include "json/json_query.h"
#include "json/json_string.h"
#include "log/syslog.h"

static bool startsWith(const char* text, const char* prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

static HttpResponse* textReply(int statusCode, const char* reasonPhrase, const char* text)
{
    return newFormattedResponse(statusCode, reasonPhrase, "text/plain", "%s", text);
}

// The status reply is filled field by field: it needs no formatting.
static HttpResponse* statusReply()
{
    auto* response = static_cast<HttpResponse*>(calloc(1, sizeof(HttpResponse)));
    if (response == nullptr)
        return nullptr;
    response->statusCode = 200;
    response->reasonPhrase = strdup("OK");
    response->contentType = strdup("application/json");
    textBufferAppendFormat(&response->body, "%s", HTTP_STATUS_BODY);
    if (response->reasonPhrase == nullptr || response->contentType == nullptr ||
        response->body.length != HTTP_STATUS_BODY_LENGTH) {
        releaseResponse(response);
        return nullptr;
    }
    return response;
}

// The payload text with its JSON escapes decoded: the element's own bytes when it has none,
// else a decoded copy in *copy (which the caller frees). False when an escape is malformed
// or names a character beyond ASCII.
static bool payloadText(const JsonElement* payload, const char** text, int32_t* length, char** copy)
{
    *copy = nullptr;
    *text = payload->start;
    *length = payload->length;
    size_t size = static_cast<size_t>(payload->length);
    if (memchr(payload->start, '\\', size) == nullptr)
        return true;
    *copy = static_cast<char*>(malloc(size));
    if (*copy == nullptr)
        return false;
    long decoded = json_decode_ascii_string(payload->start, size, *copy, size);
    if (decoded < 0)
        return false;
    *text = *copy;
    *length = static_cast<int32_t>(decoded);
    return true;
}

// Decodes the Base64 payload; null (after logging) when it is not Base64 or decodes to nothing.
static unsigned char* decodePayload(const JsonElement* payload, uint32_t* decodedLength)
{
    *decodedLength = 0;
    const char* text = nullptr;
    int32_t length = 0;
    char* copy = nullptr;
    unsigned char* decoded = nullptr;
    if (payloadText(payload, &text, &length, &copy))
        decoded = base64_decode_buffer(text, length, decodedLength);
    free(copy);
    if (decoded == nullptr || *decodedLength == 0) {
        free(decoded);
        log_message("Base64 decode failed!!!\n");
        return nullptr;
    }
    return decoded;
}

static HttpResponse* undecodableReply()
{
    return textReply(500, "Bad Request", "Unable to decode the provided body");
}

// The Base64 text of count bytes as the body of a 200 reply, encoded straight into the block
// the response keeps; null when memory runs out.
static HttpResponse* base64Reply(const unsigned char* bytes, uint32_t count, uint32_t* textLength)
{
    uint64_t capacity = base64_text_length(count) + 1;
    char* text = static_cast<char*>(malloc(static_cast<size_t>(capacity)));
    if (text == nullptr)
        return nullptr;
    *textLength = static_cast<uint32_t>(base64_encode_into(bytes, count, text, static_cast<size_t>(capacity)));
    if (*textLength == 0) {
        free(text);
        return nullptr;
    }
    return newResponseWithBody(200, "OK", "application/octet-stream", text, *textLength, capacity);
}

static HttpResponse* encryptPayload(const JsonElement* payload, const char* password)
{
    log_message("Encrypting client content...\n");
    CipherResult result = {};
    CipherError error = {};
    uint32_t decodedLength = 0;
    unsigned char* decoded = decodePayload(payload, &decodedLength);
    if (decoded == nullptr)
        return undecodableReply();

    // A container whose text contains "AAAA" is encrypted afresh (new salt and IV into the
    // same record). The last attempt's text is kept whatever it holds: beyond a few MiB almost
    // every container has "AAAA" somewhere in its Base64, and it decrypts like any other.
    // The text is only scanned here; it is made once, for the reply, after the plaintext has
    // been released.
    HttpResponse* response = nullptr;
    bool encrypted = false;
    for (int attempt = 0; attempt < HTTP_ENCRYPT_ATTEMPTS; ++attempt) {
        if (encrypt_salted(decoded, decodedLength, password, &result, &error) != 1) {
            log_message("AES encryption failed\n");
            response = newFormattedResponse(500, "Bad Request", "text/plain", "Encryption failed: %s",
                                            error.text);
            break;
        }
        encrypted = true;
        if (attempt + 1 == HTTP_ENCRYPT_ATTEMPTS || !base64_text_has_aaaa(result.data, result.length))
            break;
        log_message("Error detected - Retry %i", attempt);
    }
    OPENSSL_cleanse(decoded, decodedLength);
    free(decoded);
    uint32_t containerLength = result.length;
    uint32_t textLength = 0;
    if (response == nullptr && encrypted)
        response = base64Reply(result.data, containerLength, &textLength);
    release_cipher_result(&result);
    if (!encrypted)
        return response;
    if (response == nullptr) {
        log_message("AES encryption failed\n");
        return newFormattedResponse(500, "Encryption Error", "text/plain", "Encryption failed: %s",
                                    "Invalid encryption response");
    }
    log_message("AES encryption succeeded\n");
    log_message("Re-encode succeeded: %i bytes encoded (%i raw bytes)\n", static_cast<int>(textLength),
                static_cast<int>(containerLength));
    log_message("Data Preview (256 bytes): %.255s", response->body.contents);
    return response;
}

static HttpResponse* decryptPayload(const JsonElement* payload, const char* password)
{
    log_message("Decrypting client content...\n");
    CipherResult result = {};
    CipherError error = {};
    uint32_t decodedLength = 0;
    unsigned char* decoded = decodePayload(payload, &decodedLength);
    if (decoded == nullptr)
        return undecodableReply();

    int opened = decrypt_salted(decoded, decodedLength, password, &result, &error);
    free(decoded);
    if (opened != 1) {
        release_cipher_result(&result);
        return newFormattedResponse(500, "Bad Request", "text/plain", "Decryption failed: %s",
                                    error.text);
    }
    if (result.length == 0) {
        // Nothing to encode: the client still gets its (empty) answer.
        release_cipher_result(&result);
        log_message("Re-encode succeeded: 0 bytes encoded (0 raw bytes)\n");
        return newEmptyBodyResponse(200, "OK", "application/octet-stream");
    }
    uint32_t plaintextLength = result.length;
    uint32_t textLength = 0;
    HttpResponse* response = base64Reply(result.data, plaintextLength, &textLength);
    OPENSSL_cleanse(result.data, result.length);
    release_cipher_result(&result);
    if (response == nullptr)
        return textReply(500, "Internal Server Error", "Decryption failed: the result could not be encoded");

    char length[SECRET_LENGTH_TEXT_SIZE];
    log_message("Re-encode succeeded: %i bytes encoded (%i raw bytes)\n", static_cast<int>(textLength),
                static_cast<int>(plaintextLength));
    log_message("Subsection 255: %s", secret_length_text(textLength, length, sizeof length));
    return response;
}

// Writes the container's form of the password (pwd's raw text) into password, which holds
// HTTP_PASSWORD_BUFFER_SIZE bytes: unchanged after a leading ".", else behind ".5".
static void preparePassword(const JsonElement* pwd, char* password)
{
    memset(password, 0, HTTP_PASSWORD_BUFFER_SIZE);
    if (pwd->start[0] == '.')
        memcpy(password, pwd->start, static_cast<size_t>(pwd->length));
    else
        snprintf(password, HTTP_PASSWORD_BUFFER_SIZE, "%s%.*s", HTTP_DEFAULT_PREFIX, pwd->length,
                 pwd->start);
}

// The CORS preflight of a browser that is about to send JSON from another origin.
static HttpResponse* preflightReply()
{
    HttpResponse* response = newEmptyBodyResponse(204, "No Content", nullptr);
    if (response != nullptr) {
        response->additionalHeaders = strdup(HTTP_PREFLIGHT_HEADERS);
        if (response->additionalHeaders == nullptr) {
            releaseResponse(response);
            return nullptr;
        }
    }
    return response;
}

// A string member whose closing quote is missing (the text ends inside it) counts as absent.
static int32_t memberLength(const JsonElement* element)
{
    return element->type == JSON_TYPE_ERROR ? 0 : element->length;
}

HttpResponse* handle_request(const HttpRequest* request)
{
    if (strcmp(request->method, "OPTIONS") == 0)
        return preflightReply();
    if (strncmp(request->method, "GET", 3) == 0 && startsWith(request->path, "/status")) {
        log_message("Returning server status...\n");
        return statusReply();
    }
    const char* json = request->body.contents;
    if (json == nullptr && request->bodyAllocationFailed) {
        log_message("Error: no memory for the request body.\n");
        return textReply(500, "Internal Server Error",
                         "The request body could not be stored: the server is out of memory");
    }
    if (json == nullptr)
        return textReply(400, "Bad Request", "Missing request contents");

    JsonElement pwd = {};
    json_query_params(json, "{'pwd'", &pwd, nullptr);
    if (memberLength(&pwd) <= 0) {
        log_message("Error: Missing password.\n");
        return textReply(400, "Bad Request", "Missing required parameter: pwd");
    }
    if (static_cast<size_t>(pwd.length) > HTTP_PASSWORD_MAX) {
        log_message("Error: Password overflow.\n");
        return textReply(400, "Bad Request", "Password length must be less than 512 bytes");
    }
    JsonElement payload = {};
    json_query(json, "{'body'", &payload);
    if (memberLength(&payload) <= 0) {
        log_message("Error: Missing body.\n");
        return textReply(400, "Bad Request", "Missing required parameter: body");
    }

    bool encrypt = startsWith(request->path, "/encrypt");
    if (!encrypt && !startsWith(request->path, "/decrypt")) {
        log_message("Invalid Request\n");
        return textReply(400, "Bad Content", "Your path must be encrypt or decrypt");
    }
    char password[HTTP_PASSWORD_BUFFER_SIZE];
    preparePassword(&pwd, password);
    HttpResponse* response =
        encrypt ? encryptPayload(&payload, password) : decryptPayload(&payload, password);
    OPENSSL_cleanse(password, sizeof password);
    return response;
}
