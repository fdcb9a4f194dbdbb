#pragma once

#include <cstdarg>
#include <cstdio>

// Prints one of the driver's diagnostic lines on standard output and pushes
// it out at once. pcscd's standard output is usually a pipe or a file, where
// the line would otherwise sit in the buffer, out of step with standard error.
[[gnu::format(printf, 1, 2)]] inline void print_out(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}
