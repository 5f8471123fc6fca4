// Console print paths: print_out and print_err, each with a hook that takes precedence.
#pragma once

#include <cstdarg>

// A hook has the shape of vprintf; start-up points both hooks at log_message_v.
using PrintHook = int (*)(const char* format, va_list args);

// Stores the hook for print_out (or print_err), then announces it through print_out:
// "user_print_out set" (or "user_print_err set"). The hooks are set before other threads
// exist and read without a lock.
void set_user_print_out(PrintHook hook);
void set_user_print_err(PrintHook hook);

// Without a hook: whether print_out and print_err write to stdout and stderr (default true).
void set_console_output(bool enabled);

// Passes the text to the hook and returns its result; without a hook prints it on the
// console when console output is on and returns the stream's result; otherwise returns 0.
int print_out(const char* format, ...) __attribute__((format(printf, 1, 2)));
int print_err(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Whether standard input is a terminal (a person typing, not a browser's pipe).
bool console_input_is_terminal();
