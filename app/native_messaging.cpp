// Native-messaging exchange: the first message, the status probe, the FIPS switch, the
// password and the collection of the data from chunk messages.
#include "app/native_messaging.h"

#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>

#include "app/frames.h"
#include "app/nm_actions.h"
#include "cipher/fips.h"
#include "json/json_query.h"
#include "log/syslog.h"

// Frees a buffer that held secret text, wiping it first.
static void free_wiped(char* buffer, size_t size)
{
    if (buffer) {
        OPENSSL_cleanse(buffer, size);
        free(buffer);
    }
}

// Reads the first message. Returns its NUL-terminated text (size bytes, owned) or null after
// the invalid-payload reply, which a missing, negative or oversized header gets.
static char* read_first_message(const FrameIo* io, size_t* size)
{
    uint32_t header = 0;
    int got = frame_read_header(io, &header);
    if (got < static_cast<int>(FRAME_HEADER_SIZE)) {
        send_reply(io, NM_INVALID_PAYLOAD, "invalid payload");
        return nullptr;
    }
    log_message("Expected payload length received: %i\n", static_cast<int32_t>(header));
    char* text = header <= io->size_limit ? static_cast<char*>(malloc(size_t{header} + 1)) : nullptr;
    if (!text) {
        send_reply(io, NM_INVALID_PAYLOAD, "invalid payload");
        return nullptr;
    }
    // A text shorter than announced is taken as it arrived.
    long read = header > 0 ? frame_read_fully(io, text, header) : 0;
    text[read > 0 ? read : 0] = '\0';
    *size = size_t{header} + 1;
    return text;
}

// Copies the password out of the first message into request. Returns false (nothing
// allocated) when it is missing, empty or not a readable element, or cannot be allocated.
static bool read_password(const char* first, NativeMessagingRequest* request)
{
    log_message("Reading pwd param....");
    JsonElement element = {};
    json_query(first, "{'pwd'", &element);
    log_message("Finished reading pwd param.");
    // A string without its closing quote has no usable value (type 0) even though its
    // length counts the bytes up to the end of the text.
    int32_t n = element.type != JSON_TYPE_ERROR ? element.length : 0;
    log_message("Password data length = %i\n", n + static_cast<int32_t>(NM_PASSWORD_MARGIN));
    if (n <= 0) {
        log_message("Failed to find password...");
        return false;
    }
    size_t size = static_cast<size_t>(n) + NM_PASSWORD_MARGIN;
    char* password = static_cast<char*>(malloc(size));
    if (!password) {
        log_message("Failed to find password...");
        return false;
    }
    memset(password, 0, size);
    log_message("Cleared password cache");
    json_query_string(first, "{'pwd'", password, static_cast<size_t>(n) + 1, nullptr);
    char shown[SECRET_LENGTH_TEXT_SIZE];
    log_message("parsed pwd data: %s\n", secret_length_text(strlen(password), shown, sizeof shown));
    request->password = password;
    request->password_size = size;
    return true;
}

// Chunk collection state: the data buffer is request->data, the chunk buffer grows.
struct ChunkBuffer {
    char* text;      // current chunk text, NUL-terminated after the bytes read
    size_t capacity; // bytes allocated for text
};

// Makes room for a chunk of header bytes and its NUL. Returns false when the buffer cannot
// grow; *wanted then is the capacity that was asked for.
static bool make_chunk_room(ChunkBuffer* chunk, uint32_t header, uint32_t limit, long long* wanted)
{
    *wanted = static_cast<long long>(header) + static_cast<long long>(NM_CHUNK_MARGIN);
    if (chunk->text && chunk->capacity >= size_t{header} + 1)
        return true;
    if (header > limit)
        return false;
    size_t capacity = size_t{header} + NM_CHUNK_MARGIN;
    char* grown = static_cast<char*>(realloc(chunk->text, capacity));
    if (!grown)
        return false;
    chunk->text = grown;
    chunk->capacity = capacity;
    return true;
}

// Takes the p element of a chunk text, never past the data buffer: at most length +
// NM_DATA_MARGIN - 1 bytes are collected, so a NUL always follows them. In the Base64 form
// the first decode_limit of them go to the decoder instead.
static void collect_chunk(NativeMessagingRequest* request, const char* chunk, size_t chunk_length)
{
    JsonElement element = {};
    json_query(chunk, "{'p'", &element);
    if (element.length <= 0 || !element.start || element.start < chunk ||
        element.start + element.length > chunk + chunk_length)
        return;
    size_t limit = static_cast<size_t>(request->length) + NM_DATA_MARGIN - 1;
    size_t room = limit - request->collected;
    size_t count = static_cast<size_t>(element.length);
    if (count > room)
        count = room;
    if (request->data) {
        memcpy(request->data + request->collected, element.start, count);
    } else if (request->collected < request->decode_limit) {
        size_t wanted = request->decode_limit - request->collected;
        // A decoder that breaks remembers it, and its text then fails to decode.
        base64_decoder_feed(&request->decoder, element.start, count < wanted ? count : wanted);
    }
    request->collected += count;
}

// Allocates where the data goes: the decoded bytes when the action decodes the data (decrypt,
// or encrypt with raw set), else the text. False when that cannot be allocated.
static bool allocate_data(NativeMessagingRequest* request)
{
    size_t length = static_cast<size_t>(request->length);
    if (request->action == 2 || request->raw != 0) {
        // Decrypt takes the text up to the NUL placed after length + 1 characters.
        request->decode_limit = request->action == 2 ? length + 1 : length;
        request->decoded_size =
            (request->decode_limit + BASE64_GROUP_CHARS - 1) / BASE64_GROUP_CHARS * BASE64_GROUP_BYTES;
        request->decoded = static_cast<unsigned char*>(malloc(request->decoded_size));
        if (request->decoded)
            base64_decoder_start(&request->decoder, request->decoded, request->decoded_size);
        return request->decoded != nullptr;
    }
    request->data = static_cast<char*>(calloc(length + NM_DATA_MARGIN, 1));
    return request->data != nullptr;
}

// Makes the pages of the buffer the chunks go to, then of the output buffer, resident.
static void prepare_buffers(void* argument)
{
    const NativeMessagingRequest* request = static_cast<const NativeMessagingRequest*>(argument);
    if (request->data)
        memory_populate(request->data, static_cast<size_t>(request->length) + NM_DATA_MARGIN);
    else
        memory_populate(request->decoded, request->decoded_size);
    if (request->output)
        memory_populate(request->output, request->output_size);
}

// Allocates the buffer the container will write into (encryption; decryption works in the
// decoded bytes) and starts a task that makes it and the data's buffer resident while the
// chunks arrive, on the other core: otherwise the decoding and the container would stop for
// a page fault every few kilobytes. Without the buffer or the task the exchange goes on as
// well, only slower; small data goes without.
static void start_preparing(NativeMessagingRequest* request)
{
    if (static_cast<size_t>(request->length) < NM_PREPARE_MIN)
        return;
    request->output_size = action_output_size(request);
    if (request->output_size > 0)
        request->output = static_cast<unsigned char*>(malloc(request->output_size));
    request->prepare = {prepare_buffers, request, nullptr};
    frame_task_start(&request->prepare);
}

// Reads chunk messages until their p texts reach the announced length. Returns false after
// sending the error reply of a failed read or a chunk buffer that cannot grow.
static bool collect_data(const FrameIo* io, NativeMessagingRequest* request)
{
    ChunkBuffer chunk = {nullptr, 0};
    bool ok = true;
    while (request->collected < static_cast<size_t>(request->length)) {
        uint32_t header = 0;
        if (frame_read_header(io, &header) < static_cast<int>(FRAME_HEADER_SIZE) - 1) {
            send_reply(io, NM_READ_FAILED, "read failed");
            ok = false;
            break;
        }
        long long wanted = 0;
        if (!make_chunk_room(&chunk, header, io->size_limit, &wanted)) {
            log_message("Failed buffer realloc\n");
            send_reply_text(io, NM_READ_FAILED, wanted, "failed realloc");
            ok = false;
            break;
        }
        long read = header > 0 ? frame_read_fully(io, chunk.text, header) : 0;
        if (read < 1) {
            log_message("Failed to read transfer content\n");
            char situation[64];
            snprintf(situation, sizeof situation, "no transfer content: %li", read);
            send_reply(io, NM_READ_FAILED, situation);
            ok = false;
            break;
        }
        chunk.text[read] = '\0';
        collect_chunk(request, chunk.text, static_cast<size_t>(read));
        char shown[SECRET_LENGTH_TEXT_SIZE];
        log_message("Loaded data: %s\n", secret_length_text(request->collected, shown, sizeof shown));
    }
    free(chunk.text);
    return ok;
}

int native_messaging_exchange_with(const FrameIo* io)
{
    char frame_buffer[NM_FRAME_BUFFER_SIZE];
    memset(frame_buffer, 0, sizeof frame_buffer);
    syslog_open("tavrinhost", 9, 8);
    log_message("--- Starting the Tavrin Native Host Listener (Chrome) -----\n");
    syslog_set_mask(255);

    size_t first_size = 0;
    char* first = read_first_message(io, &first_size);
    if (!first)
        return run_closing_sequence(io);

    NativeMessagingRequest request = {};
    request.action = json_query_int(first, "{'action'", nullptr);
    request.raw = json_query_int(first, "{'raw'", nullptr);
    if (request.action == 0) {
        send_reply(io, NM_STATUS_REPLY, "status call");
        free_wiped(first, first_size);
        return 0;
    }
    log_message("Is data raw? %i\n", request.raw);

    if (enable_fips_mode(nullptr, nullptr, log_crypto_error_line) != 1) {
        log_message("FIPS Mode not supported with OpenSSL build");
        send_reply(io, NM_NO_FIPS, "no fips");
        free_wiped(first, first_size);
        return 0;
    }
    log_message("FIPS mode enabled");

    request.length = json_query_int(first, "{'length'", nullptr);
    log_message("expected data buffer length: %i\n", request.length);
    bool length_ok = request.length > 0 && request.length <= NM_DATA_LENGTH_MAX &&
                     static_cast<uint32_t>(request.length) <= io->size_limit;
    if (length_ok && !read_password(first, &request)) {
        free_wiped(first, first_size);
        send_reply(io, NM_MISSING_PASSWORD, "missing password");
        return 0;
    }
    if (!length_ok || !allocate_data(&request)) {
        // Zero, negative, oversized and unallocatable lengths alike.
        free_wiped(first, first_size);
        release_request(&request);
        send_reply(io, NM_MISSING_LENGTH, "missing data buffer length");
        return 0;
    }
    request.collected = 0;
    start_preparing(&request);
    free_wiped(first, first_size);
    log_message("Waiting to load %i bytes..", request.length);

    if (!collect_data(io, &request)) {
        release_request(&request);
        return 0;
    }
    log_message("Requested action: %s\n", request.action == 2 ? "Decrypt" : "Encrypt");
    if (request.data)
        request.data[request.length + 1] = '\0';
    log_message("Loaded all bytes %i", request.length);
    return run_native_messaging_action(io, &request, frame_buffer);
}

int native_messaging_exchange()
{
    FrameIo io = stdio_frame_io();
    return native_messaging_exchange_with(&io);
}
