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

// Working state of one action; everything it points to is owned and released by the action.
struct ActionState {
    CipherResult result;        // output of the salted container, reused across encryptions
    CipherError error;          // reason for the client, empty when there is none
    const unsigned char* reply; // bytes whose Base64 text is the reply (the result's data), or null
    size_t reply_bytes;         // count of those bytes
    bool empty_plaintext;       // decrypt succeeded with nothing to encode
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

size_t action_output_size(const NativeMessagingRequest* request)
{
    if (request->action == 2)
        return 0; // decryption writes the plaintext over the ciphertext
    size_t input = request->raw != 0 ? request->decoded_size : static_cast<size_t>(request->length);
    return input + CONTAINER_MAGIC_LENGTH + CIPHER_SALT_SIZE + CONTAINER_ALLOCATION_EXTRA;
}

static void wipe_password(NativeMessagingRequest* request)
{
    if (request->password) {
        OPENSSL_cleanse(request->password, request->password_size);
        free(request->password);
        request->password = nullptr;
    }
}

void release_request(NativeMessagingRequest* request)
{
    frame_task_join(&request->prepare);
    wipe_password(request);
    free(request->data);
    request->data = nullptr;
    free(request->decoded);
    request->decoded = nullptr;
    base64_decoder_release(&request->decoder);
    free(request->output);
    request->output = nullptr;
}

// The container writes into the output buffer made ready during the intake, when there is
// one, as into a buffer of its own: it is released with the result.
static void hand_output_to_result(NativeMessagingRequest* request, ActionState* state)
{
    if (!request->output || state->result.data)
        return;
    state->result.data = request->output;
    state->result.length = static_cast<uint32_t>(request->output_size);
    request->output = nullptr;
}

// The reply is the Base64 text of count bytes, encoded piece by piece while it is written;
// none when there are no bytes or their text would not fit an int.
static void set_reply(ActionState* state, const unsigned char* bytes, size_t count)
{
    bool sendable = bytes && count > 0 && count <= static_cast<size_t>(BASE64_ENCODE_MAX);
    state->reply = sendable ? bytes : nullptr;
    state->reply_bytes = sendable ? count : 0;
}

static void decrypt_data(NativeMessagingRequest* request, ActionState* state)
{
    log_message("....Attempting to base64 decode data...\n");
    // The text went through the decoder as it arrived; this ends it.
    uint32_t decoded_length = 0;
    bool decoded = base64_decoder_finish(&request->decoder, &decoded_length);
    log_message("(Dec) Decoded Data length: %i\n", decoded ? static_cast<int>(decoded_length) : 0);
    if (!decoded || decoded_length == 0) {
        set_reason(state, NM_DECODE_FAILED_REASON);
        log_message("%s", state->error.text);
        return;
    }
    // The plaintext takes the place of the ciphertext in the decoded bytes: no second buffer
    // of the container's size is made.
    uint32_t offset = 0;
    uint32_t plaintext_length = 0;
    int ok = decrypt_salted_in_place(request->decoded, decoded_length, request->password, &offset,
                                     &plaintext_length, &state->error);
    if (!ok) {
        log_message("Decryption Failed: %.*s\n", 200, state->error.text);
        return;
    }
    const unsigned char* plaintext = request->decoded + offset;
    log_message("Decrypted Length: %i",
                static_cast<int>(strnlen(reinterpret_cast<const char*>(plaintext), plaintext_length)));
    if (plaintext_length == 0) {
        // An empty plaintext is a successful decryption with nothing to send.
        state->empty_plaintext = true;
        log_message("Decrypted data is empty");
    } else {
        set_reply(state, plaintext, plaintext_length);
    }
}

// Logs the first 30 characters of the accepted reply text.
static void log_encryption_succeeded(const ActionState* state)
{
    constexpr size_t shown = 30;
    constexpr size_t bytes = (shown + BASE64_GROUP_CHARS - 1) / BASE64_GROUP_CHARS * BASE64_GROUP_BYTES;
    char head[base64_text_length(bytes) + 1];
    base64_encode_into(state->reply, state->reply_bytes < bytes ? state->reply_bytes : bytes, head, sizeof head);
    log_message("Encryption succeeded: %.*s...\n", static_cast<int>(shown), head);
}

// Returns false when the action already ended the exchange with its failure frame.
static bool encrypt_data(const FrameIo* io, NativeMessagingRequest* request, ActionState* state)
{
    bool retried = false;
    bool decoded = false;
    uint32_t decoded_length = 0;
    for (int attempt = 1; attempt <= NM_ENCODE_ATTEMPTS; ++attempt) {
        const unsigned char* input = reinterpret_cast<const unsigned char*>(request->data);
        uint32_t input_length = static_cast<uint32_t>(request->length);
        if (request->raw != 0) {
            log_message("....Attempting to base64 decode data...\n");
            // The text went through the decoder as it arrived. Decoding the same text again
            // would give the same bytes, so every attempt takes the bytes of the first.
            if (attempt == 1)
                decoded = base64_decoder_finish(&request->decoder, &decoded_length);
            log_message("(Enc) Decoded Data length: %i\n", decoded ? static_cast<int>(decoded_length) : 0);
            if (!decoded) {
                send_reply(io, NM_BAD_ENCRYPT_DATA, "bad data for encryption");
                return false;
            }
            input = request->decoded;
            input_length = decoded_length;
        }
        log_message("datalen=> %i", request->length);
        hand_output_to_result(request, state);
        int ok = encrypt_salted(input, input_length, request->password, &state->result, &state->error);
        if (!ok) {
            if (state->error.text[0] == '\0')
                set_reason(state, NM_ENCRYPT_FAILED_REASON);
            log_message("Encryption Failed: %.*s\n", 200, state->error.text);
            send_error_reason(io, state->error.text, "bad data for encryption");
            return false;
        }
        set_reply(state, state->result.data, state->result.length);
        if (state->reply && !base64_text_has_aaaa(state->reply, state->reply_bytes)) {
            log_encryption_succeeded(state);
            return true;
        }
        if (state->reply) {
            log_message("Invalid encode. Retrying...\n");
            retried = true;
            if (attempt == NM_ENCODE_ATTEMPTS)
                return true; // the fifth text goes out as it is
        } else if (!retried) {
            return true; // nothing to send and no reason: "Action Failed"
        }
    }
    return true;
}

constexpr std::string_view DATA_HEAD = "{\"data\":\"";
constexpr std::string_view DATA_TAIL = "\"}";
static_assert(DATA_HEAD.size() + DATA_TAIL.size() == NM_DATA_FRAME_OVERHEAD);
// Where a piece stands in the frame buffer: behind the frame header and the head.
constexpr size_t DATA_PIECE_OFFSET = FRAME_HEADER_SIZE + DATA_HEAD.size();
// Bytes whose text is one whole piece.
constexpr size_t DATA_PIECE_BYTES = NM_DATA_PIECE_MAX / BASE64_GROUP_CHARS * BASE64_GROUP_BYTES;
static_assert(DATA_PIECE_BYTES / BASE64_GROUP_BYTES * BASE64_GROUP_CHARS == NM_DATA_PIECE_MAX);

// Frames the piece of piece characters that stands at DATA_PIECE_OFFSET in frame_buffer,
// writes and flushes the data message, and logs the characters sent so far of length.
static void send_data_message(const FrameIo* io, char* frame_buffer, uint32_t piece, uint32_t sent, uint32_t length)
{
    uint32_t frame_length = piece + static_cast<uint32_t>(NM_DATA_FRAME_OVERHEAD);
    memcpy(frame_buffer, &frame_length, FRAME_HEADER_SIZE);
    memcpy(frame_buffer + FRAME_HEADER_SIZE, DATA_HEAD.data(), DATA_HEAD.size());
    char* p = frame_buffer + DATA_PIECE_OFFSET + piece;
    memcpy(p, DATA_TAIL.data(), DATA_TAIL.size());
    p[DATA_TAIL.size()] = '\0';
    frame_write_fully(io, frame_buffer, FRAME_HEADER_SIZE + frame_length);
    frame_flush(io);
    log_message("Written %i/%i bytes back to client", static_cast<int>(sent), static_cast<int>(length));
}

uint32_t write_encoded_messages(const FrameIo* io, const unsigned char* bytes, size_t count, char* frame_buffer)
{
    const uint32_t length = static_cast<uint32_t>(base64_text_length(count));
    uint32_t sent = 0;
    for (size_t at = 0; at < count; at += DATA_PIECE_BYTES) {
        size_t piece_bytes = count - at < DATA_PIECE_BYTES ? count - at : DATA_PIECE_BYTES;
        char* piece_text = frame_buffer + DATA_PIECE_OFFSET;
        uint32_t piece = static_cast<uint32_t>(
            base64_encode_into(bytes + at, piece_bytes, piece_text, NM_FRAME_BUFFER_SIZE - DATA_PIECE_OFFSET));
        sent += piece;
        send_data_message(io, frame_buffer, piece, sent, length);
    }
    return sent;
}

// Sends the reply text and logs the totals.
static void write_reply(const FrameIo* io, const ActionState* state, char* frame_buffer)
{
    log_message("Getting ready to write %i bytes back to client...", static_cast<int>(base64_text_length(state->reply_bytes)));
    uint32_t sent = state->reply ? write_encoded_messages(io, state->reply, state->reply_bytes, frame_buffer) : 0;
    log_message("%i total written to client (success)", static_cast<int>(sent));
    frame_flush(io);
}

int run_native_messaging_action(const FrameIo* io, NativeMessagingRequest* request, char* frame_buffer)
{
    // The buffers are ready (or the task could not finish sooner): the action has both cores.
    frame_task_join(&request->prepare);
    ActionState state = {};
    bool closing = true;
    if (request->action == 2) {
        decrypt_data(request, &state);
    } else {
        closing = encrypt_data(io, request, &state);
    }
    if (closing) {
        log_message("payload destroyed");
        if (state.reply || state.empty_plaintext)
            write_reply(io, &state, frame_buffer);
        else if (state.error.text[0] == '\0')
            send_reply(io, NM_ACTION_FAILED, "error");
        else
            send_error_reason(io, state.error.text, "error");
    }
    wipe_password(request);
    OPENSSL_cleanse(&state.error, sizeof state.error);
    int result = closing ? run_closing_sequence(io) : (frame_flush(io), 0);
    // The input and the result are released only now: unmapping buffers of many megabytes
    // takes milliseconds that the end frame need not wait for, and the peak, reached while
    // the container was made, is the same.
    release_cipher_result(&state.result);
    release_request(request);
    return result;
}
