// The stand-in's own interface, com.tarvenk.PemraSim1 at "/sim": scenario
// changes and fault switches at run time, and the log of what the driver
// did. Every mode offers the methods on a reader and the log; the stand-in
// adds its scenario (sim/stand_in_control.*).
#pragma once

#include <functional>
#include <map>
#include <stdexcept>

#include "sim/dbus_object.h"
#include "sim/sim_context.h"

namespace pemra_sim {

class ReaderFirmware;

inline constexpr char control_path[] = "/sim";
inline constexpr char control_error[] = "com.tarvenk.PemraSim1.Error.Failed";

// A control request that cannot be served (unknown object, bad option).
class SimError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A reader as the control interface drives it, in either mode.
class ControlledReader {
public:
    virtual ReaderFirmware &firmware() = 0;
    // false drops the link to the host; true lets it come back.
    virtual void set_connected(bool connected) = 0;

protected:
    ~ControlledReader() = default;
};

using ControlMethod = std::function<Glib::VariantContainerBase(const Glib::VariantContainerBase &args)>;
using ControlMethods = std::map<Glib::ustring, ControlMethod>;

// What the methods of every mode act on, by the object path they are given.
struct ControlTargets {
    // The reader with that device path; SimError when there is none.
    std::function<ControlledReader &(const Glib::ustring &device)> reader;
    // The fault switches of SetFault and ClearFaults.
    std::function<Faults &(const Glib::ustring &object)> faults;
    // Whether the switches of the stand-in's BlueZ act (is_bluez_fault).
    bool bluez_faults = true;
};

// A method without results.
template <typename F>
ControlMethod action(F f)
{
    return [f](const Glib::VariantContainerBase &args) {
        f(args);
        return Glib::VariantContainerBase();
    };
}

// Throws SimError with the problem, if there is one.
void check(const std::string &problem);

class Control {
public:
    // `mode_methods`: what the mode offers beyond the methods of every mode.
    Control(const SimContext &context, ControlTargets targets, ControlMethods mode_methods = {});

private:
    void on_call(const Glib::ustring &method, const Glib::VariantContainerBase &args, const Invocation &invocation);
    ControlMethods common_methods();
    void set_fault(const Glib::VariantContainerBase &args);
    Glib::VariantContainerBase log_entries() const;
    Glib::VariantContainerBase counters() const;

    const SimContext &context_;
    ControlTargets targets_;
    ControlMethods methods_;
    ExportedObject object_;
};

} // namespace pemra_sim
