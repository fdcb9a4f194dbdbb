// The stand-in's own interface, com.tarvenk.PemraSim1 at "/sim" on the same
// bus: scenario changes and fault switches at run time, and the log of what
// the driver did.
#pragma once

#include <functional>
#include <map>

#include "sim/dbus_object.h"
#include "sim/sim_context.h"

namespace pemra_sim {

class Simulator;
class Faults;

inline constexpr char control_path[] = "/sim";
inline constexpr char control_error[] = "com.tarvenk.PemraSim1.Error.Failed";

class Control {
public:
    Control(const SimContext &context, Simulator &simulator);

private:
    using Method = std::function<Glib::VariantContainerBase(const Glib::VariantContainerBase &args)>;

    void on_call(const Glib::ustring &method, const Glib::VariantContainerBase &args, const Invocation &invocation);
    std::map<Glib::ustring, Method> methods();
    Glib::VariantContainerBase add_reader(const Glib::VariantContainerBase &args);
    void set_fault(const Glib::VariantContainerBase &args);
    // BlueZ's own faults for "/", else those of the reader with that device.
    Faults &faults_of(const Glib::ustring &object);
    Glib::VariantContainerBase log_entries() const;
    Glib::VariantContainerBase counters() const;
    Glib::VariantContainerBase applications() const;

    const SimContext &context_;
    Simulator &simulator_;
    std::map<Glib::ustring, Method> methods_;
    ExportedObject object_;
};

} // namespace pemra_sim
