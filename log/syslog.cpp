// Syslog client: one UDP socket, one re-entrant lock, one datagram per message.
#include "log/syslog.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <process.h>
#include <windows.h>
using SocketHandle = SOCKET;
static constexpr SocketHandle INVALID_SOCKET_HANDLE = INVALID_SOCKET;
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketHandle = int;
static constexpr SocketHandle INVALID_SOCKET_HANDLE = -1;
#endif

// ---- platform layer ------------------------------------------------------------------

// Starts the socket library where the platform has one; true when it must be released.
static bool platform_start_sockets()
{
#if defined(_WIN32)
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        fputs("Can't initialize WinSock\n", stderr);
        return false;
    }
    return true;
#else
    return false;
#endif
}

static void platform_stop_sockets()
{
#if defined(_WIN32)
    WSACleanup();
#endif
}

static void platform_close_socket(SocketHandle s)
{
#if defined(_WIN32)
    closesocket(s);
#else
    close(s);
#endif
}

static unsigned long platform_process_id()
{
#if defined(_WIN32)
    return static_cast<unsigned long>(_getpid());
#else
    return static_cast<unsigned long>(getpid());
#endif
}

// The socket's maximum message size. Linux has no option for it: the largest UDP payload
// over IPv4 stands in, and the 1024-byte cap applies to it.
static bool platform_max_message_size(SocketHandle s, int* size)
{
#if defined(_WIN32)
    int value = 0;
    int length = sizeof value;
    if (getsockopt(s, SOL_SOCKET, SO_MAX_MSG_SIZE, reinterpret_cast<char*>(&value), &length) != 0)
        return false;
    *size = value;
    return true;
#else
    (void)s;
    *size = 65507;
    return true;
#endif
}

// The local computer name as 8-bit text: the NetBIOS name on Windows (at most 15 characters),
// the host name elsewhere. False when it cannot be read.
static bool platform_computer_name(char* out, size_t capacity)
{
#if defined(_WIN32)
    DWORD size = static_cast<DWORD>(capacity);
    return GetComputerNameA(out, &size) != 0;
#else
    return gethostname(out, capacity - 1) == 0;
#endif
}

static void platform_local_time(time_t now, struct tm* out)
{
#if defined(_WIN32)
    localtime_s(out, &now);
#else
    localtime_r(&now, out);
#endif
}

// The destination named by the environment, if any: "HOST" or "HOST:PORT".
static bool platform_destination_override(char* host, size_t host_size, uint16_t* port)
{
    const char* text = getenv(SYSLOG_DESTINATION_VARIABLE);
    if (!text || !*text)
        return false;
    const char* colon = strchr(text, ':');
    size_t host_length = colon ? static_cast<size_t>(colon - text) : strlen(text);
    if (host_length == 0 || host_length >= host_size)
        return false;
    unsigned long value = SYSLOG_PORT;
    if (colon) {
        char* end = nullptr;
        value = strtoul(colon + 1, &end, 10);
        if (end == colon + 1 || *end != '\0' || value == 0 || value > 65535)
            return false;
    }
    memcpy(host, text, host_length);
    host[host_length] = '\0';
    *port = static_cast<uint16_t>(value);
    return true;
}

// ---- client state --------------------------------------------------------------------

struct SyslogClient {
    std::atomic<bool> initialised;  // set by syslog_init, cleared by syslog_close
    bool socket_library_started;    // release the platform socket library at exit
    bool connected;                 // socket bound and destination resolved
    SocketHandle socket;            // the UDP socket
    sockaddr_in destination;        // where datagrams go
    char host[SYSLOG_HOST_SIZE];    // syslog host name
    uint16_t port;                  // syslog port, host byte order
    int facility;                   // already shifted; 8 is the user facility
    int priority_mask;              // bit (1 << severity) enables that severity
    char ident[SYSLOG_IDENT_SIZE];  // tag after the computer name
    char pid_text[20];              // "[pid]" or empty
    char computer_name[SYSLOG_COMPUTER_NAME_MAX + 1]; // host field of the header
    int max_datagram;               // socket's maximum message size, at most 1024
    // The header of the current second: formatting the local time is the dearest part of a
    // message, and every message of one second shares it. Cleared whenever the channel opens.
    time_t header_second;           // the second header was made for, -1 when there is none
    char header[SYSLOG_DATAGRAM_MAX];
    int header_length;
};

static SyslogClient client = {false, false, false, INVALID_SOCKET_HANDLE, {}, "localhost",
                              SYSLOG_PORT, SYSLOG_FACILITY_USER, 0xFF, "", "", "", 0, -1, "", 0};

// Never destroyed, so that a thread still logging during process exit finds it intact.
static std::recursive_mutex& client_lock()
{
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

static constexpr const char* MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
static constexpr int SEVERITY_NOTICE = 5;
static constexpr int BIND_ATTEMPTS = 101;

static void drop_socket()
{
    if (client.socket != INVALID_SOCKET_HANDLE)
        platform_close_socket(client.socket);
    client.socket = INVALID_SOCKET_HANDLE;
    client.connected = false;
}

static void resolve_destination()
{
    memset(&client.destination, 0, sizeof client.destination);
    client.destination.sin_family = AF_INET;
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (client.host[0] != '\0' && getaddrinfo(client.host, nullptr, &hints, &found) == 0 && found) {
        client.destination.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        client.destination.sin_port = htons(client.port);
    } else {
        client.destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        client.destination.sin_port = htons(SYSLOG_PORT);
    }
    if (found)
        freeaddrinfo(found);
}

// A UDP socket bound to any local address and port; retried as the bind allows.
static bool open_bound_socket()
{
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = 0;
    for (int attempt = 1;; ++attempt) {
        client.socket = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (client.socket == INVALID_SOCKET_HANDLE)
            return false;
        if (bind(client.socket, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0)
            return true;
        drop_socket();
        if (attempt == BIND_ATTEMPTS)
            return false;
        std::this_thread::yield();
    }
}

// ---- operations ----------------------------------------------------------------------

void syslog_init()
{
    if (client.initialised.load())
        return;
    client.socket_library_started = platform_start_sockets();
    snprintf(client.host, sizeof client.host, "%s", "localhost");
    client.port = SYSLOG_PORT;
    platform_destination_override(client.host, sizeof client.host, &client.port);
    client_lock();
    client.initialised.store(true);
    atexit(syslog_close);
}

void syslog_open(const char* ident, int options, int facility)
{
    if (!client.initialised.load())
        return;
    std::lock_guard<std::recursive_mutex> guard(client_lock());
    if (client.connected)
        return;
    facility = facility == 0 ? SYSLOG_FACILITY_USER : facility;
    if (options & SYSLOG_OPTION_PID)
        snprintf(client.pid_text, sizeof client.pid_text, "[%lu]", platform_process_id());
    else
        client.pid_text[0] = '\0';

    char name[256] = {};
    if (!platform_computer_name(name, sizeof name)) {
        drop_socket();
        return;
    }
    size_t name_length = strnlen(name, SYSLOG_COMPUTER_NAME_MAX);
    memcpy(client.computer_name, name, name_length);
    client.computer_name[name_length] = '\0';

    resolve_destination();
    if (!open_bound_socket()) {
        client.connected = false;
        return;
    }
    int max_size = 0;
    if (!platform_max_message_size(client.socket, &max_size)) {
        drop_socket();
        return;
    }
    size_t ident_length = ident ? strlen(ident) : 0;
    if (static_cast<long>(max_size) - static_cast<long>(ident_length) -
            static_cast<long>(strlen(client.computer_name)) < SYSLOG_DATAGRAM_MIN_ROOM) {
        drop_socket();
        return;
    }
    client.max_datagram = max_size > SYSLOG_DATAGRAM_MAX ? SYSLOG_DATAGRAM_MAX : max_size;
    // Fixing the destination on the socket spares every datagram its own route look-up. A
    // refusal by the destination then fails a later send instead, which is ignored like any
    // send failure.
    connect(client.socket, reinterpret_cast<const sockaddr*>(&client.destination),
            sizeof client.destination);
    if (ident)
        snprintf(client.ident, sizeof client.ident, "%s", ident);
    client.facility = facility;
    client.header_second = -1;
    client.connected = true;
}

void syslog_set_mask(int mask)
{
    if (!client.initialised.load())
        return;
    std::lock_guard<std::recursive_mutex> guard(client_lock());
    client.priority_mask = mask;
}

int log_message_v(const char* format, va_list args)
{
    if (!client.initialised.load())
        return 0;
    std::lock_guard<std::recursive_mutex> guard(client_lock());
    if (!(client.priority_mask & (1 << SEVERITY_NOTICE)))
        return 0;
    syslog_open(nullptr, 0, 0);
    if (!client.connected)
        return 0;

    time_t now = time(nullptr);
    if (now != client.header_second) {
        struct tm local = {};
        platform_local_time(now, &local);
        client.header_length = snprintf(client.header, sizeof client.header,
                                        "<%d>%s %2d %02d:%02d:%02d %s %s%s: ",
                                        client.facility | SEVERITY_NOTICE, MONTHS[local.tm_mon % 12],
                                        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                                        client.computer_name, client.ident, client.pid_text);
        client.header_second = client.header_length < 0 ? -1 : now;
    }
    int header = client.header_length;
    char text[SYSLOG_DATAGRAM_MAX];
    int room_end = client.max_datagram; // header, message and NUL fit in here
    if (header < 0)
        return 0;
    if (header >= room_end)
        header = room_end - 1;
    memcpy(text, client.header, static_cast<size_t>(header));
    // A message longer than the room is cut to it.
    vsnprintf(text + header, static_cast<size_t>(room_end - header), format, args);
    text[room_end - 1] = '\0';
    if (char* cut = strchr(text, '\n'))
        *cut = '\0';
    if (char* cut = strchr(text, '\r'))
        *cut = '\0';
    size_t length = strlen(text);
    send(client.socket, text, static_cast<int>(length), 0);
    return static_cast<int>(length);
}

void log_message(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    log_message_v(format, args);
    va_end(args);
}

int log_crypto_error_line(const char* text, size_t length, void* user)
{
    (void)length;
    (void)user;
    log_message("%s", text);
    return 0;
}

void syslog_close()
{
    if (!client.initialised.load())
        return;
    {
        std::lock_guard<std::recursive_mutex> guard(client_lock());
        if (client.connected)
            drop_socket();
        if (client.socket_library_started)
            platform_stop_sockets();
        client.socket_library_started = false;
        client.initialised.store(false);
    }
}

const char* secret_length_text(size_t length, char* out, size_t capacity)
{
    if (capacity > 0)
        snprintf(out, capacity, "[%zu bytes]", length);
    return out;
}

void syslog_set_destination(const char* host, uint16_t port)
{
    std::lock_guard<std::recursive_mutex> guard(client_lock());
    snprintf(client.host, sizeof client.host, "%s", host ? host : "");
    client.port = port;
    drop_socket();
}
