// Native-messaging host: one exchange of frames on standard input and output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/frames.h"
#include "cipher/base64.h"

// One exchange serves one request: a first message {"action","raw","length","pwd"}, then
// chunk messages {"p":"..."} until length bytes of data text have arrived, then the reply
// (data messages and the end frame, or one error frame). Every path returns 0. Nothing but
// frames is ever written to the output; diagnostics go to the syslog sink, and neither the
// password nor the data appear there (only their lengths).

// Data message {"data":"<piece>"}: pieces of at most NM_DATA_PIECE_MAX characters, formatted
// with the frame header in front in one buffer of NM_FRAME_BUFFER_SIZE bytes.
constexpr size_t NM_DATA_PIECE_MAX = 64000;
constexpr size_t NM_DATA_FRAME_OVERHEAD = sizeof("{\"data\":\"\"}") - 1; // 11
constexpr size_t NM_FRAME_BUFFER_ROOM = 9; // the 4-byte header in front, a NUL, spare
constexpr size_t NM_FRAME_BUFFER_SIZE = NM_DATA_PIECE_MAX + NM_DATA_FRAME_OVERHEAD + NM_FRAME_BUFFER_ROOM;
static_assert(NM_FRAME_BUFFER_SIZE == 64020);
static_assert(FRAME_HEADER_SIZE + NM_DATA_PIECE_MAX + NM_DATA_FRAME_OVERHEAD < NM_FRAME_BUFFER_SIZE);

constexpr size_t NM_PASSWORD_MARGIN = 3; // password buffer: element length + 3
constexpr size_t NM_DATA_MARGIN = 10;    // data buffer: announced length + 10, zero-filled
constexpr size_t NM_CHUNK_MARGIN = 10;   // chunk buffer: chunk header + 10 when it grows
// Data from this size on has its buffers made resident by a helper thread as it arrives;
// for less, the page faults cost less than starting the thread.
constexpr size_t NM_PREPARE_MIN = 1 << 20;
// Largest announced data length: the data, its container and their Base64 texts all stay
// below 2^31 bytes, the limit of every length the cipher engine handles.
constexpr int32_t NM_DATA_LENGTH_MAX = 1 << 30;

constexpr const char* NM_STATUS_REPLY = "{\"status\":\"OK\",\"version\":\"1.0.2\"}";
constexpr const char* NM_INVALID_PAYLOAD = "{\"error\":\"Invalid data payload\"}";
constexpr const char* NM_NO_FIPS = "{\"error\":\"FIPS Mode not supported with detected OpenSSL build!\"}";
constexpr const char* NM_MISSING_LENGTH = "{\"error\":\"Missing data buffer length\"}";
constexpr const char* NM_MISSING_PASSWORD = "{\"error\":\"Missing password\"}";
constexpr const char* NM_READ_FAILED = "{\"error\":\"Failed to finish reading data\"}";

// What the intake hands to the action. Invariant: 0 < length <= NM_DATA_LENGTH_MAX,
// collected <= length + NM_DATA_MARGIN - 1 (the bytes the chunks carried in, counted as if
// they were all kept). The data is held in one of two forms:
// - text (encrypt, raw 0): data holds length + NM_DATA_MARGIN bytes, the collected bytes
//   followed by zeros, data[length + 1] == 0;
// - Base64 (decrypt, or raw set): data is null; the text the action decodes, the first
//   decode_limit characters of the collected ones, went through decoder into decoded as
//   it arrived, so the text itself is never held.
// output, when set, is the buffer the salted container will write into; a task makes the
// pages of the data and of output resident while the chunks arrive.
struct NativeMessagingRequest {
    int32_t action;         // 2 decrypt, any other non-zero value encrypt
    int32_t raw;            // encrypt: non-zero when the data is Base64 of the bytes to encrypt
    int32_t length;         // the announced data length
    char* password;         // NUL-terminated, owned (malloc), wiped before it is freed
    size_t password_size;   // bytes allocated for password
    char* data;             // text form: the collected data text, owned (malloc)
    size_t collected;       // bytes the chunks carried in
    unsigned char* decoded; // Base64 form: the decoded bytes, owned (malloc), decoded_size bytes
    size_t decoded_size;    // bytes allocated for decoded
    size_t decode_limit;    // characters that go to the decoder: length + 1 decrypting, else length
    Base64Decoder decoder;  // Base64 form: the decoder writing into decoded
    unsigned char* output;  // buffer for the container's result (malloc), or null
    size_t output_size;     // bytes allocated for output
    FrameTask prepare;      // populates the data or decoded buffer and output
};

// The real host: stdin and stdout as raw streams, 1000 ms closing pause. Returns 0.
int native_messaging_exchange();

// The same exchange over the given streams and closing pause. Returns 0.
int native_messaging_exchange_with(const FrameIo* io);
