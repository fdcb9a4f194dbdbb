#include "tools/reader_number.h"

#include <cstdlib>

long parse_reader_number(const char *text)
{
    return std::strtol(text, nullptr, 10);
}

bool tries_first_reader(long reader_number)
{
    return reader_number <= 0;
}
