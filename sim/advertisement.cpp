#include "sim/advertisement.h"

#include "sim/event_log.h"
#include "sim/interfaces.h"

namespace pemra_sim {

namespace {

constexpr char advertisement_path[] = "/sim/advertisement";

} // namespace

Advertisement::Advertisement(const SimContext &context, BluezCalls &bluez, Glib::ustring adapter,
                             const std::string &name)
    : context_(context), bluez_(bluez), adapter_(std::move(adapter)), object_(context.connection, advertisement_path)
{
    object_.add_interface(context.catalog.get(iface::le_advertisement),
                          {{"Type", variant_string("peripheral")},
                           {"ServiceUUIDs", variant_strings({pemra_service_uuid})},
                           {"LocalName", variant_string(name)}},
                          // Release: bluetoothd let the advertisement go by itself.
                          [this](const Glib::ustring &method, const Glib::VariantContainerBase &,
                                 const Invocation &invocation) {
                              context_.log.add("advertisement", adapter_, method);
                              registered_ = false;
                              invocation->return_value({});
                          });
}

void Advertisement::start(std::function<void()> done, BluezFailure failed)
{
    if (registered_)
        return done();
    bluez_.call(
        adapter_, iface::le_advertising_manager, "RegisterAdvertisement",
        tuple({variant_path(object_.path()), Glib::Variant<PropertyMap>::create({})}),
        [this, done = std::move(done)](const Glib::VariantContainerBase &) {
            registered_ = true;
            context_.log.add("advertisement", adapter_, "registered");
            done();
        },
        std::move(failed));
}

void Advertisement::stop()
{
    if (!std::exchange(registered_, false))
        return;
    bluez_.call(
        adapter_, iface::le_advertising_manager, "UnregisterAdvertisement", tuple({variant_path(object_.path())}),
        [this](const Glib::VariantContainerBase &) { context_.log.add("advertisement", adapter_, "unregistered"); },
        print_failure("cannot stop advertising"));
}

} // namespace pemra_sim
