// Native-messaging frames over a reader and a writer.
#include "app/frames.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <thread>

#include "log/syslog.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <csignal>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

// ---- platform: standard input and output as raw byte streams -----------------------------

static long stdio_read(void*, void* data, size_t length)
{
#ifdef _WIN32
    unsigned int count = length > INT_MAX ? INT_MAX : static_cast<unsigned int>(length);
    return _read(0, data, count);
#else
    for (;;) {
        ssize_t n = read(0, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
#endif
}

static long stdio_write(void*, const void* data, size_t length)
{
#ifdef _WIN32
    unsigned int count = length > INT_MAX ? INT_MAX : static_cast<unsigned int>(length);
    return _write(1, data, count);
#else
    for (;;) {
        ssize_t n = write(1, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
#endif
}

static void set_binary_streams()
{
#ifdef _WIN32
    _setmode(0, _O_BINARY);
    _setmode(1, _O_BINARY);
#else
    signal(SIGPIPE, SIG_IGN);
#endif
}

void set_message_standard_output()
{
    fflush(stdout);
#ifdef _WIN32
    _setmode(1, _O_BINARY);
    // The Windows C runtime buffers fully when asked for line buffering; unbuffered, each
    // printf is written at once, in one piece.
    setvbuf(stdout, nullptr, _IONBF, 0);
#else
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#endif
}

static void pause_ms(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- platform: a helper thread, resident memory ------------------------------------------

#ifndef _WIN32
static void* run_task(void* task)
{
    FrameTask* t = static_cast<FrameTask*>(task);
    t->routine(t->argument);
    return nullptr;
}
#endif

bool frame_task_start(FrameTask* task)
{
    task->thread = nullptr;
#ifdef _WIN32
    return false;
#else
    pthread_t* thread = static_cast<pthread_t*>(malloc(sizeof(pthread_t)));
    if (!thread)
        return false;
    if (pthread_create(thread, nullptr, run_task, task) != 0) {
        free(thread);
        return false;
    }
    task->thread = thread;
    return true;
#endif
}

void frame_task_join(FrameTask* task)
{
#ifndef _WIN32
    if (task->thread) {
        pthread_t* thread = static_cast<pthread_t*>(task->thread);
        pthread_join(*thread, nullptr);
        free(thread);
    }
#endif
    task->thread = nullptr;
}

void memory_populate(void* data, size_t length)
{
#if defined(MADV_POPULATE_WRITE)
    // Whole pages inside the buffer only: the bytes around them may belong to others.
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t start = (reinterpret_cast<uintptr_t>(data) + page - 1) / page * page;
    uintptr_t end = (reinterpret_cast<uintptr_t>(data) + length) / page * page;
    // An older kernel refuses the advice (EINVAL); the pages then fault in as they are used.
    if (end > start)
        madvise(reinterpret_cast<void*>(start), end - start, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)length;
#endif
}

// ---- frames --------------------------------------------------------------------------------

FrameIo stdio_frame_io()
{
    set_binary_streams();
    // Writes go straight to the descriptor, so flushing has nothing to push.
    return FrameIo{nullptr, stdio_read, stdio_write, nullptr, FRAME_CLOSING_PAUSE_MS, FRAME_TEXT_MAX};
}

long frame_read_fully(const FrameIo* io, void* data, size_t length)
{
    char* p = static_cast<char*>(data);
    size_t got = 0;
    long last = 0;
    while (got < length) {
        last = io->read(io->context, p + got, length - got);
        if (last <= 0)
            break;
        got += static_cast<size_t>(last);
    }
    return got > 0 ? static_cast<long>(got) : last;
}

int frame_read_header(const FrameIo* io, uint32_t* length)
{
    unsigned char bytes[FRAME_HEADER_SIZE] = {};
    long got = frame_read_fully(io, bytes, sizeof bytes);
    *length = 0;
    memcpy(length, bytes, sizeof bytes);
    return got > 0 ? static_cast<int>(got) : 0;
}

long frame_write_fully(const FrameIo* io, const void* data, size_t length)
{
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < length) {
        long n = io->write(io->context, p + done, length - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<long>(done);
}

long frame_write(const FrameIo* io, const char* text, size_t length)
{
    uint32_t header = static_cast<uint32_t>(length);
    long total = frame_write_fully(io, &header, sizeof header);
    return total + frame_write_fully(io, text, length);
}

void frame_flush(const FrameIo* io)
{
    if (io->flush)
        io->flush(io->context);
}

long send_reply_text(const FrameIo* io, const char* text, long long expected, const char* situation)
{
    size_t length = strlen(text);
    long total = frame_write(io, text, length);
    log_message("%li/%lli total written to client (%s)", total, expected, situation);
    frame_flush(io);
    return total;
}

long send_reply(const FrameIo* io, const char* text, const char* situation)
{
    return send_reply_text(io, text, static_cast<long long>(strlen(text) + FRAME_HEADER_SIZE), situation);
}

int run_closing_sequence(const FrameIo* io)
{
    frame_flush(io);
    log_message("Finished processing. Cleaning up...");
    frame_write(io, END_FRAME_TEXT, strlen(END_FRAME_TEXT));
    log_message("Sending close message: %.*s", 200, END_FRAME_TEXT);
    frame_flush(io);
    pause_ms(io->closing_pause_ms);
    return 0;
}
