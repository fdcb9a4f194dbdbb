#pragma once

// The reader attributes that the driver serves and pemra_info reads, in
// pcsc-lite's SCARD_ATTR_VALUE scheme (class 7, vendor defined).
inline constexpr unsigned long VENDOR_ATTR_IEEE = 0x7B020;       // the reader's Bluetooth address, NUL-terminated
inline constexpr unsigned long VENDOR_ATTR_DESCRIPTOR = 0x7B021; // [N][N bytes of entries]
