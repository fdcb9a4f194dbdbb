#pragma once

#include <cstdio>
#include <cstdlib>

// A property every input must keep: its failure is a crash that libFuzzer
// reports with the input, after the line of the property that failed.
inline void require(bool condition, const char *file = __builtin_FILE(), int line = __builtin_LINE())
{
    if (condition)
        return;
    std::fprintf(stderr, "property failed: %s:%d\n", file, line);
    std::abort();
}
