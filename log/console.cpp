// Console print paths with their hooks.
#include "log/console.h"

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

static PrintHook user_print_out = nullptr;
static PrintHook user_print_err = nullptr;
static bool console_output = true;

static int print_to(PrintHook hook, FILE* stream, const char* format, va_list args)
{
    if (hook)
        return hook(format, args);
    if (console_output)
        return vfprintf(stream, format, args);
    return 0;
}

int print_out(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = print_to(user_print_out, stdout, format, args);
    va_end(args);
    return result;
}

int print_err(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = print_to(user_print_err, stderr, format, args);
    va_end(args);
    return result;
}

void set_user_print_out(PrintHook hook)
{
    user_print_out = hook;
    print_out("user_print_out set");
}

void set_user_print_err(PrintHook hook)
{
    user_print_err = hook;
    print_out("user_print_err set");
}

void set_console_output(bool enabled)
{
    console_output = enabled;
}

bool console_input_is_terminal()
{
#if defined(_WIN32)
    return _isatty(0) != 0;
#else
    return isatty(0) == 1;
#endif
}
