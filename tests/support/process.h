// Child processes for tests: the real binaries, with pipes on stdin, stdout and stderr.
#pragma once

#include <string>
#include <vector>

// A started child. Pipes are -1 once closed.
struct ChildProcess {
    int pid;
    int stdin_fd;
    int stdout_fd;
    int stderr_fd;
};

// Starts program with args (argv[0] is program), adding env entries "NAME=value" to the
// test's own environment (an entry "NAME=" with nothing after it removes NAME). A program
// from build_program starts through $TAVRIN_RUNNER when that names one (a full path, for
// example of an emulator): runner, program, args[1]... A program from $TAVRIN_PROGRAM_DIR
// finds its FIPS provider itself: the test's OPENSSL_MODULES and OPENSSL_CONF are not handed
// on (env entries still are). Returns false when the child cannot be started.
bool start_child(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env, ChildProcess* child);

// start_child with a pseudo-terminal instead of the stdin pipe: the child runs in a session
// of its own, the terminal is its controlling terminal and its standard input, and
// child->stdin_fd is the terminal's other side (written: typed; read: what the child shows).
bool start_child_on_terminal(const std::string& program, const std::vector<std::string>& args,
                             const std::vector<std::string>& env, ChildProcess* child);

// Writes all of data to the child's stdin; false when the pipe broke.
bool write_all(int fd, const void* data, size_t length);

// Reads exactly length bytes; false on end of input or error first. Gives up after
// timeout_ms without progress.
bool read_exact(int fd, void* data, size_t length, int timeout_ms = 20000);

// Reads until end of input (or timeout_ms without progress).
std::string read_to_end(int fd, int timeout_ms = 20000);

// Closes the child's stdin (end of input for it).
void close_stdin(ChildProcess* child);

// Waits for the child (up to timeout_ms, then kills it) and returns its exit status, or
// -1 when it did not exit normally. Closes the remaining pipes.
int wait_child(ChildProcess* child, int timeout_ms = 30000);

// Whole run: stdin gets input and is closed; stdout and stderr are collected.
struct ProcessResult {
    int status;
    std::string out;
    std::string err;
};
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::vector<std::string>& env, const std::string& input = {});

// Path of a program under test: $TAVRIN_PROGRAM_DIR/name when that is set (for example
// /usr/bin, the commands of the installed package, or the Windows build's folder with
// TAVRIN_RUNNER naming wine; name.exe when only that exists), else $TAVRIN_BUILD_DIR/bin/name.
std::string build_program(const std::string& name);

// $TAVRIN_BUILD_DIR/bin/name, whatever TAVRIN_PROGRAM_DIR says: this build's own program, for
// tests that compare it with the programs under test.
std::string this_build_program(const std::string& name);

// True when the program under test is a Windows program (build_program found name.exe).
bool windows_program(const std::string& name);

// Console text as a Linux program writes it: the CR LF line ends of a Windows program's
// text-mode streams made LF.
std::string with_line_feeds(std::string text);
