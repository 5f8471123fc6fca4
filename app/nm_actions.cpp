// Native-messaging actions: Base64 and the salted container on the collected data, and the
// reply in data messages.
#include "app/nm_actions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <openssl/crypto.h>

#include "cipher/base64.h"
#include "cipher/container.h"
#include "log/syslog.h"

// {"error":"<escaped reason>"}: the escaped text takes at most 6 bytes per reason byte.
constexpr size_t NM_ERROR_REPLY_SIZE = sizeof("{\"error\":\"\"}") + 6 * CIPHER_ERROR_SIZE;

// Working state of one action; everything it points to is owned and released by finish().
struct ActionState {
    CipherResult result;     // output of the salted container, reused across encryptions
    CipherError error;       // reason for the client, empty when there is none
    char* reply;             // Base64 text to send (NUL-terminated), or null
    uint32_t reply_length;   // characters of reply
    bool empty_plaintext;    // decrypt succeeded with nothing to encode
    unsigned char* decoded;  // Base64-decoded input
};

size_t json_escape_text(const char* text, char* out, size_t capacity)
{
    static const char hex[] = "0123456789abcdef";
    size_t n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        char escaped[6];
        size_t size = 0;
        if (*p == '"' || *p == '\\') {
            escaped[0] = '\\';
            escaped[1] = static_cast<char>(*p);
            size = 2;
        } else if (*p < 0x20) {
            memcpy(escaped, "\\u00", 4);
            escaped[4] = hex[*p >> 4];
            escaped[5] = hex[*p & 15];
            size = 6;
        } else {
            escaped[0] = static_cast<char>(*p);
            size = 1;
        }
        if (n + size + 1 > capacity)
            break;
        memcpy(out + n, escaped, size);
        n += size;
    }
    out[n] = '\0';
    return n;
}

// Sends {"error":"<reason>"} with the reason JSON-escaped.
static void send_error_reason(const FrameIo* io, const char* reason, const char* situation)
{
    char reply[NM_ERROR_REPLY_SIZE];
    constexpr std::string_view head = "{\"error\":\"";
    memcpy(reply, head.data(), head.size());
    size_t n = head.size();
    n += json_escape_text(reason, reply + n, sizeof reply - n - 2);
    memcpy(reply + n, "\"}", 3);
    send_reply(io, reply, situation);
}

static void set_reason(ActionState* state, const char* reason)
{
    snprintf(state->error.text, sizeof state->error.text, "%s", reason);
    state->error.code = 0;
}

static void drop_decoded(ActionState* state)
{
    free(state->decoded);
    state->decoded = nullptr;
}

static void drop_reply(ActionState* state)
{
    free(state->reply);
    state->reply = nullptr;
    state->reply_length = 0;
}

// Encodes the result's bytes into the reply text (none when there are no bytes or the
// encoding fails).
static void encode_result(ActionState* state)
{
    drop_reply(state);
    if (state->result.data && state->result.length > 0 && state->result.length <= BASE64_ENCODE_MAX)
        state->reply = base64_encode_buffer(state->result.data, static_cast<int>(state->result.length),
                                            &state->reply_length);
    if (!state->reply)
        state->reply_length = 0;
}

static void decrypt_data(NativeMessagingRequest* request, ActionState* state)
{
    log_message("....Attempting to base64 decode data...\n");
    size_t text_length = strlen(request->data);
    uint32_t decoded_length = 0;
    state->decoded = base64_decode_buffer(request->data, static_cast<int>(text_length), &decoded_length);
    log_message("(Dec) Decoded Data length: %i\n", state->decoded ? static_cast<int>(decoded_length) : 0);
    if (!state->decoded || decoded_length == 0) {
        set_reason(state, NM_DECODE_FAILED_REASON);
        log_message("%s", state->error.text);
        drop_decoded(state);
        return;
    }
    // The container text is not needed any more; dropping it early lowers the peak.
    free(request->data);
    request->data = nullptr;
    if (!decrypt_salted(state->decoded, decoded_length, request->password, &state->result, &state->error)) {
        log_message("Decryption Failed: %.*s\n", 200, state->error.text);
        drop_decoded(state);
        return;
    }
    drop_decoded(state);
    if (state->result.data)
        log_message("Decrypted Length: %i",
                    static_cast<int>(strnlen(reinterpret_cast<const char*>(state->result.data), state->result.length)));
    if (state->result.length == 0) {
        // An empty plaintext is a successful decryption with nothing to send.
        state->empty_plaintext = true;
        log_message("Decrypted data is empty");
    } else {
        encode_result(state);
    }
    release_cipher_result(&state->result);
}

// Returns false when the action already ended the exchange with its failure frame.
static bool encrypt_data(const FrameIo* io, NativeMessagingRequest* request, ActionState* state)
{
    bool retried = false;
    for (int attempt = 1; attempt <= NM_ENCODE_ATTEMPTS; ++attempt) {
        const unsigned char* input = reinterpret_cast<const unsigned char*>(request->data);
        uint32_t input_length = static_cast<uint32_t>(request->length);
        if (request->raw != 0) {
            log_message("....Attempting to base64 decode data...\n");
            uint32_t decoded_length = 0;
            state->decoded = base64_decode_buffer(request->data, request->length, &decoded_length);
            log_message("(Enc) Decoded Data length: %i\n", state->decoded ? static_cast<int>(decoded_length) : 0);
            if (!state->decoded) {
                send_reply(io, NM_BAD_ENCRYPT_DATA, "bad data for encryption");
                return false;
            }
            input = state->decoded;
            input_length = decoded_length;
        }
        log_message("datalen=> %i", request->length);
        int ok = encrypt_salted(input, input_length, request->password, &state->result, &state->error);
        drop_decoded(state);
        if (!ok) {
            if (state->error.text[0] == '\0')
                set_reason(state, NM_ENCRYPT_FAILED_REASON);
            log_message("Encryption Failed: %.*s\n", 200, state->error.text);
            send_error_reason(io, state->error.text, "bad data for encryption");
            return false;
        }
        encode_result(state);
        if (state->reply && std::string_view(state->reply, state->reply_length).find(NM_REJECTED_RUN) == std::string_view::npos) {
            log_message("Encryption succeeded: %.*s...\n", 30, state->reply);
            return true;
        }
        if (state->reply) {
            log_message("Invalid encode. Retrying...\n");
            retried = true;
            if (attempt == NM_ENCODE_ATTEMPTS)
                return true; // the fifth text goes out as it is
            drop_reply(state);
        } else if (!retried) {
            return true; // nothing to send and no reason: "Action Failed"
        }
    }
    return true;
}

uint32_t write_data_messages(const FrameIo* io, const char* text, uint32_t length, char* frame_buffer)
{
    constexpr std::string_view head = "{\"data\":\"";
    constexpr std::string_view tail = "\"}";
    static_assert(head.size() + tail.size() == NM_DATA_FRAME_OVERHEAD);
    uint32_t sent = 0;
    while (sent < length) {
        uint32_t piece = length - sent;
        if (piece > NM_DATA_PIECE_MAX)
            piece = static_cast<uint32_t>(NM_DATA_PIECE_MAX);
        uint32_t frame_length = piece + static_cast<uint32_t>(NM_DATA_FRAME_OVERHEAD);
        char* p = frame_buffer;
        memcpy(p, &frame_length, FRAME_HEADER_SIZE);
        p += FRAME_HEADER_SIZE;
        memcpy(p, head.data(), head.size());
        p += head.size();
        memcpy(p, text + sent, piece);
        p += piece;
        memcpy(p, tail.data(), tail.size());
        p += tail.size();
        *p = '\0';
        frame_write_fully(io, frame_buffer, FRAME_HEADER_SIZE + frame_length);
        frame_flush(io);
        sent += piece;
        log_message("Written %i/%i bytes back to client", static_cast<int>(sent), static_cast<int>(length));
    }
    return sent;
}

// Sends the reply text and logs the totals.
static void write_reply(const FrameIo* io, const ActionState* state, char* frame_buffer)
{
    log_message("Getting ready to write %i bytes back to client...", static_cast<int>(state->reply_length));
    uint32_t sent = write_data_messages(io, state->reply, state->reply_length, frame_buffer);
    log_message("%i total written to client (success)", static_cast<int>(sent));
    frame_flush(io);
}

int run_native_messaging_action(const FrameIo* io, NativeMessagingRequest* request, char* frame_buffer)
{
    ActionState state = {};
    bool closing = true;
    if (request->action == 2) {
        decrypt_data(request, &state);
    } else {
        closing = encrypt_data(io, request, &state);
    }
    if (closing) {
        release_cipher_result(&state.result);
        log_message("payload destroyed");
        if (state.reply || state.empty_plaintext)
            write_reply(io, &state, frame_buffer);
        else if (state.error.text[0] == '\0')
            send_reply(io, NM_ACTION_FAILED, "error");
        else
            send_error_reason(io, state.error.text, "error");
    }

    release_cipher_result(&state.result);
    drop_decoded(&state);
    drop_reply(&state);
    OPENSSL_cleanse(&state.error, sizeof state.error);
    if (request->password) {
        OPENSSL_cleanse(request->password, request->password_size);
        free(request->password);
        request->password = nullptr;
    }
    free(request->data);
    request->data = nullptr;
    return closing ? run_closing_sequence(io) : (frame_flush(io), 0);
}
