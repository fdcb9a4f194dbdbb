// The reader's pairing agent (org.bluez.Agent1, capability
// NoInputNoOutput), the default agent of the reader's bluetoothd. A reader
// has neither keys nor a display: a host pairs with it by Just Works, and
// bluetoothd still asks the agent (RequestAuthorization, and
// AuthorizeService) before it accepts; the reader agrees to all of it, as
// its firmware does.
#pragma once

#include <functional>

#include "sim/bluez_calls.h"
#include "sim/dbus_object.h"
#include "sim/sim_context.h"

namespace pemra_sim {

class PairingAgent {
public:
    PairingAgent(const SimContext &context, BluezCalls &bluez);

    // RegisterAgent, then RequestDefaultAgent.
    void start(std::function<void()> done, BluezFailure failed);

private:
    void answer(const Glib::ustring &method, const Glib::VariantContainerBase &args, const Invocation &invocation);

    const SimContext &context_;
    BluezCalls &bluez_;
    ExportedObject object_;
};

} // namespace pemra_sim
