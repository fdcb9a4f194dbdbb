#pragma once

#include <glibmm/error.h>

// Errors that no handler of the tunnel expects are logged at critical
// level with the step's source line, and never stop the process.
void log_uncaught_error(const Glib::Error &error, int line);
// Bus calls fail with D-Bus or I/O errors; any other domain is logged as
// uncaught (and handled like the others by the caller).
void check_bus_error_domain(const Glib::Error &error, int line);
