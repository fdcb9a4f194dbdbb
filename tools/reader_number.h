// The reader number of pemra_info's command line.
#pragma once

// The reader number when the command line gives none.
inline constexpr long no_reader_number = -1;

// Reads a decimal number from the start of `text`: leading blanks and a sign
// are allowed, anything after the digits is ignored and text without digits
// reads as 0. Numbers beyond the range of long saturate rather than wrap, so
// that a huge number keeps its sign.
long parse_reader_number(const char *text);

// A number of 0 or less lets the first listed reader be tried. Later readers
// are never chosen, so a number above 0 selects no reader at all.
bool tries_first_reader(long reader_number);
