#include "sim/bluez_calls.h"

#include <cstdio>

#include <giomm/asyncresult.h>

#include "sim/interfaces.h"

namespace pemra_sim {

namespace {

constexpr char bluez_name[] = "org.bluez";

} // namespace

void BluezCalls::call(const Glib::ustring &path, const Glib::ustring &interface, const Glib::ustring &method,
                      const Glib::VariantContainerBase &args, BluezReply done, BluezFailure failed)
{
    auto connection = connection_;
    connection->call(
        path, interface, method, args,
        [connection, done = std::move(done), failed = std::move(failed)](Glib::RefPtr<Gio::AsyncResult> &result) {
            Glib::VariantContainerBase reply;
            try {
                reply = connection->call_finish(result);
            } catch (const Glib::Error &error) {
                return failed(error);
            }
            done(reply);
        },
        bluez_name);
}

void BluezCalls::set_property(const Glib::ustring &path, const Glib::ustring &interface, const Glib::ustring &name,
                              const Glib::VariantBase &value, BluezReply done, BluezFailure failed)
{
    call(path, iface::properties, "Set",
         tuple({variant_string(interface), variant_string(name), Glib::Variant<Glib::VariantBase>::create(value)}),
         std::move(done), std::move(failed));
}

BluezFailure print_failure(std::string what)
{
    return [what = std::move(what)](const Glib::Error &error) {
        std::fprintf(stderr, "pemra_sim: %s: %s\n", what.c_str(), error.what());
    };
}

} // namespace pemra_sim
