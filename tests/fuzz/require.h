#pragma once

#include <cstdlib>

// A property every input must keep: its failure is a crash that libFuzzer
// reports with the input.
inline void require(bool condition)
{
    if (!condition)
        std::abort();
}
