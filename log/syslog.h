// Diagnostic sink: every message becomes one syslog datagram over UDP to the local host.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// The module keeps one client (a process-wide singleton). Every operation does nothing
// before syslog_init() or after syslog_close(); all of them may be called from any thread
// and are serialised by one re-entrant lock.

constexpr int SYSLOG_DATAGRAM_MAX = 1024;    // cap of the socket's maximum message size
constexpr int SYSLOG_DATAGRAM_MIN_ROOM = 64; // room needed beyond ident and computer name
constexpr uint16_t SYSLOG_PORT = 514;
constexpr int SYSLOG_FACILITY_USER = 8;      // facility, already shifted
constexpr int SYSLOG_OPTION_PID = 1;         // option bit: append "[pid]" to the ident
constexpr size_t SYSLOG_HOST_SIZE = 16;
constexpr size_t SYSLOG_IDENT_SIZE = 128;
constexpr size_t SYSLOG_COMPUTER_NAME_MAX = 15;

// Once per process: the destination, the lock, and syslog_close at exit. The destination is
// "localhost" port 514, unless the environment variable SYSLOG_DESTINATION_VARIABLE gives
// "HOST" or "HOST:PORT" (an IPv4 name or literal of at most 15 characters, a port 1-65535),
// so that an unprivileged listener on another port can receive the messages.
constexpr const char* SYSLOG_DESTINATION_VARIABLE = "TAVRINHOST_SYSLOG";
void syslog_init();

// Opens the channel unless it is open already (then nothing changes). ident may be null
// (keeps the current ident); bit 0 of options appends the process id; facility 0 means 8.
// Failures leave the channel closed and are not reported.
void syslog_open(const char* ident, int options, int facility);

// Sets the priority mask; bit (1 << severity) enables a severity, and every message is a
// notice (severity 5), so clearing 0x20 silences the sink.
void syslog_set_mask(int mask);

// Exit handler: closes the socket; later messages are dropped.
void syslog_close();

// Formats one message after the header "<PRI>Mmm dd hh:mm:ss HOST IDENTPID: " and sends it
// as one datagram, cut at the first "\n" or "\r" and to the datagram size. Returns the
// number of bytes handed to the socket, 0 when the message was dropped.
int log_message_v(const char* format, va_list args);
void log_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Error-listing callback of the crypto library: logs text as it stands (never as a format)
// and returns 0, so a listing stops after its first line.
int log_crypto_error_line(const char* text, size_t length, void* user);

// Secrets never reach a datagram: log a password or a plaintext through its length.
// Writes "[N bytes]" into out (capacity bytes, SECRET_LENGTH_TEXT_SIZE is enough) and
// returns out.
constexpr size_t SECRET_LENGTH_TEXT_SIZE = 32;
const char* secret_length_text(size_t length, char* out, size_t capacity);

// For tests: sends the datagrams to host:port instead of localhost:514. Closes an open
// channel, so the next message opens it again towards the new destination.
void syslog_set_destination(const char* host, uint16_t port);
