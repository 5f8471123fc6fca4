// Platform layer of the command-line clients: descriptors, files, terminal, children, TCP.
#pragma once

// Only platform.cpp holds system calls; a port adds its branch of these functions there.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Descriptors: read and write move up to length bytes and return the count, 0 at the end of
// input, or a negative value on error (interrupted calls are retried inside).
constexpr int STANDARD_INPUT = 0;
constexpr int STANDARD_OUTPUT = 1;
long fd_read(int fd, void* data, size_t length);
long fd_write(int fd, const void* data, size_t length);
void fd_close(int fd);

// A piece of a gathered write.
struct WritePiece {
    const void* data;
    size_t length;
};

// Writes every byte of the pieces in order with as few calls as the system allows; false
// when the descriptor failed first.
bool fd_write_pieces(int fd, const WritePiece* pieces, int count);

// Opens path for reading, or creates (mode 0600) or truncates it for writing, as binary
// files. Returns the descriptor, or -1 with the system's reason in *reason.
int file_open_read(const char* path, std::string* reason);
int file_open_write(const char* path, std::string* reason);

// Prepares the process: a peer that went away turns into failed writes (POSIX: the
// broken-pipe signal is ignored); on Windows standard input and output become binary streams
// and the socket library is started.
void platform_start();

// The host tavrinhost-nm starts when no command is given: the launcher of the build (beside
// the folder of this program) when there is one, else tavrinhost beside this program
// (tavrinhost.exe on Windows).
std::string default_host_program();

// Shows prompt on the process's terminal (Windows: its console) and reads one line with echo
// off (the end of line is not stored). Returns 1 with the line in *line, 0 when the process
// has no terminal, -1 when the input ended (Windows: Ctrl-Z) or failed before the end of a line.
int terminal_read_secret(const char* prompt, std::string* line);

// A started child process: in is its standard input (we write), out its standard output
// (we read).
struct ChildPipes {
    long pid;
    void* process; // the process's handle (Windows), null elsewhere
    int in;
    int out;
};

// Starts command (command[0] searched on the PATH) with pipes on its standard input and
// output; its standard error is ours. False, with the reason on standard error, when it
// cannot be started.
bool child_start(const std::vector<std::string>& command, ChildPipes* child);

// Ends a child that is no longer wanted (it is terminated) and waits for it.
void child_stop(ChildPipes* child);

// Waits for the child to exit. Returns its exit status (-1 when it did not exit normally) and
// stores its peak resident memory (Windows: peak working set) in KiB into *peak_kib when
// given, -1 when the system does not tell.
int child_wait(ChildPipes* child, long* peak_kib);

// A TCP connection to host:port (an IPv4 name or literal): a descriptor, or a socket handle
// on Windows. Returns the connection, or -1 with the reason in *reason. tcp_read and
// tcp_write behave like fd_read and fd_write.
intptr_t tcp_connect(const char* host, const char* port, std::string* reason);
long tcp_read(intptr_t connection, void* data, size_t length);
long tcp_write(intptr_t connection, const void* data, size_t length);
void tcp_close(intptr_t connection);
