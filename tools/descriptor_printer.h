// Printing of a reader's descriptor, the value of the vendor attribute
// VENDOR_ATTR_DESCRIPTOR:
//
//   [N][N bytes of entries, back to back]
//   entry: [E][L][name, L bytes][V][value, V bytes][skipped up to the entry end]
//
// E counts the bytes after itself, so the next entry starts E + 1 bytes on.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>

// Writes one line "name:value" per entry of `descriptor`, the bytes that
// SCardGetAttrib returned. The entry area is the N bytes after byte 0, or
// fewer when fewer were returned. A "MAC" entry with a 6-byte value prints it
// as aa:bb:cc:dd:ee:ff and one with any other length prints no value; a
// "Serial..." entry with a 5-byte value prints it as ten hex digits; other
// values are printed as they are.
//
// Printing stops at the first entry that does not fit: one that runs past the
// area prints nothing, one whose name runs past the entry prints nothing, and
// one whose value runs past the entry prints its name alone, without a line
// end. Nothing outside `descriptor` is ever read.
void print_descriptor(std::span<const std::uint8_t> descriptor, std::ostream &out);
