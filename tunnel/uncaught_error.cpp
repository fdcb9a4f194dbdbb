#include "tunnel/uncaught_error.h"

#include <gio/gio.h>

namespace {

constexpr char module_name[] = "tunnel_service";

} // namespace

void log_uncaught_error(const Glib::Error &error, int line)
{
    g_critical("file %s: line %d: uncaught error: %s (%s, %d)", module_name, line, error.what(),
               g_quark_to_string(error.domain()), error.code());
}

void check_bus_error_domain(const Glib::Error &error, int line)
{
    if (error.domain() != G_DBUS_ERROR && error.domain() != G_IO_ERROR)
        log_uncaught_error(error, line);
}
