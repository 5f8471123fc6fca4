// Native-messaging frames: a 4-byte length in native byte order, then that many bytes of text.
#pragma once

#include <cstddef>
#include <cstdint>

// The byte streams of one exchange. read and write move up to length bytes and return the
// count moved, 0 at the end of input, or a negative value on error (interrupted calls are
// retried inside). flush may be null. The host uses standard input and output as raw byte
// streams (stdio_frame_io); tests and the fuzz target pass streams of their own.
struct FrameIo {
    void* context;                                                 // handed to every callback
    long (*read)(void* context, void* data, size_t length);        // input of the client
    long (*write)(void* context, const void* data, size_t length); // output to the client
    void (*flush)(void* context);                                  // push written bytes out
    int closing_pause_ms;                                          // pause ending an exchange
    uint32_t size_limit; // largest frame text and announced data length the exchange accepts
};

constexpr size_t FRAME_HEADER_SIZE = 4;
// Largest text the host accepts in one frame. Browsers send up to 64 MiB in one message;
// a larger header is refused before anything is allocated for it. (The fuzz target passes
// a smaller size_limit so that hostile headers do not cost a gigabyte each.)
constexpr uint32_t FRAME_TEXT_MAX = 1u << 30;
// Pause of the closing sequence in the real host, so that the browser reads the end frame
// before the pipe closes.
constexpr int FRAME_CLOSING_PAUSE_MS = 1000;

// Standard input and output as raw binary streams (no text-mode translation), SIGPIPE
// ignored so that a vanished client turns into failed writes; the pause is 1000 ms and the
// size limit FRAME_TEXT_MAX.
FrameIo stdio_frame_io();

// Standard output as server mode's message stream: raw bytes, so that lines end in a line
// feed on every platform (a Windows text-mode stream would send CR LF), and each line
// written as soon as it is complete.
void set_message_standard_output();

// Reads until length bytes have arrived or the input ends or fails, with as few reads as the
// stream allows. Returns the bytes read; when none arrived, the result of the failed read
// (0 at the end of input, negative on error).
long frame_read_fully(const FrameIo* io, void* data, size_t length);

// Reads a frame header, retrying short reads until 4 bytes or the end of input. Returns the
// number of bytes received (0 to 4); *length holds them in native order, missing bytes 0.
int frame_read_header(const FrameIo* io, uint32_t* length);

// Writes every byte of data, looping on short writes. Returns the bytes written.
long frame_write_fully(const FrameIo* io, const void* data, size_t length);

// Writes the header of length and the text as two writes. Returns the total count both
// writes reported (FRAME_HEADER_SIZE + length when all went out).
long frame_write(const FrameIo* io, const char* text, size_t length);

void frame_flush(const FrameIo* io);

// Sends a NUL-terminated reply text as one frame, logs "%i/%i total written to client (%s)"
// with the written count, then expected (pass FRAME_HEADER_SIZE + strlen(text) for the
// usual line) and situation, and flushes. Returns the written count.
long send_reply_text(const FrameIo* io, const char* text, long long expected, const char* situation);

// send_reply_text with the usual second number, the frame's full size.
long send_reply(const FrameIo* io, const char* text, const char* situation);

constexpr const char* END_FRAME_TEXT = "{\"end\":\"true\"}";

// Closing sequence of an exchange: flush; log "Finished processing. Cleaning up..."; send
// the end frame without a per-frame line; log "Sending close message: ..."; flush; pause
// closing_pause_ms. Returns 0, the exchange's result.
int run_closing_sequence(const FrameIo* io);

// ---- helpers of the exchange: memory made ready ahead of use, on a thread of its own --------

// A task that runs routine(argument) on a thread of its own while the exchange goes on.
struct FrameTask {
    void (*routine)(void* argument);
    void* argument;
    void* thread; // the platform's thread (owned), null when the task is not running
};

// Starts task. False when no thread could be started (or the platform has none for it): the
// routine has not run, and the caller goes on without it.
bool frame_task_start(FrameTask* task);

// Waits for a started task to end and releases its thread. Harmless when it did not start.
void frame_task_join(FrameTask* task);

// Makes the pages of length bytes at data resident and writable without changing a byte, so
// that first writes into fresh memory do not stop for page faults. Safe while other threads
// write into the same bytes. Does nothing where the platform has no such call.
void memory_populate(void* data, size_t length);
