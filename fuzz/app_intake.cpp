// Fuzz target of the native-messaging exchange: an arbitrary byte stream as the client's
// input, delivered in reads of a size the first byte chooses; the output must be frames.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app/frames.h"
#include "app/native_messaging.h"
#include "log/syslog.h"

namespace {

// Larger headers and lengths take the same refusal paths as those beyond the host's 1 GiB.
constexpr uint32_t FUZZ_SIZE_LIMIT = 1u << 20;

struct Streams {
    const uint8_t* input;
    size_t size;
    size_t at;
    size_t max_read; // 0: as much as asked
    std::string output;
};

long fuzz_read(void* context, void* data, size_t length)
{
    auto* s = static_cast<Streams*>(context);
    size_t n = s->size - s->at < length ? s->size - s->at : length;
    if (s->max_read && n > s->max_read)
        n = s->max_read;
    memcpy(data, s->input + s->at, n);
    s->at += n;
    return static_cast<long>(n);
}

long fuzz_write(void* context, const void* data, size_t length)
{
    static_cast<Streams*>(context)->output.append(static_cast<const char*>(data), length);
    return static_cast<long>(length);
}

// Output invariant: whole frames and nothing else, each text a JSON object, data messages
// within their limit.
void check_frames(const std::string& out)
{
    size_t at = 0;
    while (at < out.size()) {
        if (out.size() - at < FRAME_HEADER_SIZE)
            abort();
        uint32_t length;
        memcpy(&length, out.data() + at, FRAME_HEADER_SIZE);
        at += FRAME_HEADER_SIZE;
        if (out.size() - at < length || length < 2 || out[at] != '{' || out[at + length - 1] != '}')
            abort();
        if (out.compare(at, 9, "{\"data\":\"") == 0 && length > NM_DATA_PIECE_MAX + NM_DATA_FRAME_OVERHEAD)
            abort();
        at += length;
    }
}

// The FIPS provider of the work tree, found above the target's folder (build/<name>/bin),
// unless the environment names one; without it every request meets the "no fips" reply.
void find_fips_provider()
{
    if (getenv("OPENSSL_MODULES"))
        return;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return;
    std::string dir(self, static_cast<size_t>(n));
    for (int up = 0; up < 6 && dir.find('/') != std::string::npos; ++up) {
        dir = dir.substr(0, dir.rfind('/'));
        std::string fips = dir + "/.cache/fips";
        if (access((fips + "/fipsmodule.cnf").c_str(), R_OK) == 0) {
            setenv("OPENSSL_MODULES", fips.c_str(), 1);
            setenv("OPENSSL_CONF", (fips + "/openssl.cnf").c_str(), 1);
            return;
        }
    }
}

// Log lines are formatted and sent to a socket of our own that nobody reads.
void sink_logs()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return;
    syslog_init();
    syslog_set_destination("127.0.0.1", ntohs(address.sin_port));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    find_fips_provider();
    sink_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // First byte: 0 reads whole, 1-255 caps every read at (byte % 16) + 1 bytes.
    Streams streams = {data + 1, size - 1, 0, data[0] ? static_cast<size_t>(data[0] % 16) + 1 : 0, {}};
    FrameIo io = {&streams, fuzz_read, fuzz_write, nullptr, 0, FUZZ_SIZE_LIMIT};
    if (native_messaging_exchange_with(&io) != 0)
        abort();
    check_frames(streams.output);
    return 0;
}
