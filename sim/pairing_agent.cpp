#include "sim/pairing_agent.h"

#include "sim/event_log.h"
#include "sim/interfaces.h"

namespace pemra_sim {

namespace {

constexpr char agent_path[] = "/sim/agent";
constexpr char bluez_path[] = "/org/bluez";
constexpr char capability[] = "NoInputNoOutput";

} // namespace

PairingAgent::PairingAgent(const SimContext &context, BluezCalls &bluez)
    : context_(context), bluez_(bluez), object_(context.connection, agent_path)
{
    object_.add_interface(context.catalog.get(iface::agent), {},
                          [this](const Glib::ustring &method, const Glib::VariantContainerBase &args,
                                 const Invocation &invocation) { answer(method, args, invocation); });
}

void PairingAgent::start(std::function<void()> done, BluezFailure failed)
{
    const auto path = tuple({variant_path(agent_path)});
    bluez_.call(
        bluez_path, iface::agent_manager, "RegisterAgent", tuple({variant_path(agent_path), variant_string(capability)}),
        [this, path, done = std::move(done), failed](const Glib::VariantContainerBase &) {
            bluez_.call(
                bluez_path, iface::agent_manager, "RequestDefaultAgent", path,
                [done](const Glib::VariantContainerBase &) { done(); }, failed);
        },
        failed);
}

void PairingAgent::answer(const Glib::ustring &method, const Glib::VariantContainerBase &args,
                          const Invocation &invocation)
{
    const Glib::ustring device =
        args.get_n_children() > 0 ? Glib::ustring(argument<Glib::DBusObjectPathString>(args, 0)) : Glib::ustring();
    context_.log.add("agent", agent_path, method + (device.empty() ? "" : " " + device));
    // Nothing to show and nothing to type: a code asked for is refused.
    if (method == "RequestPinCode" || method == "RequestPasskey")
        return invocation->return_dbus_error(bluez_error::rejected, "The reader has no keys");
    invocation->return_value({});
}

} // namespace pemra_sim
