// The reader's GATT service as an application of the real bluetoothd: an
// org.bluez.GattService1 and characteristics 1 to 9
// (org.bluez.GattCharacteristic1, the flags of characteristic_flags) in
// the context's object tree, whose object manager at "/" bluetoothd reads
// at RegisterApplication. bluetoothd hands the host's requests on to it:
// writes on 1, 2, 7 and 9 and reads of 3 (and of 8, where it can be read)
// reach the firmware; StartNotify and StopNotify are the host's switch of
// notifications, which bluetoothd passes on only when it turns (off to on
// for the first host that listens, on to off when the last one stops).
// A notification is a change of Value, which bluetoothd sends to every
// host that listens.
#pragma once

#include <array>
#include <memory>

#include "sim/dbus_object.h"
#include "sim/reader_objects.h"
#include "sim/sim_context.h"

namespace pemra_sim {

class ReaderFirmware;

class GattApplication {
public:
    // `heard_from`: every request names the host's device object of the
    // reader's bluetoothd.
    GattApplication(const SimContext &context, ReaderFirmware &firmware, const ServiceLayout &layout,
                    std::function<void(const Glib::ustring &device)> heard_from);
    ~GattApplication();
    GattApplication(const GattApplication &) = delete;
    GattApplication &operator=(const GattApplication &) = delete;

    // The path to register: the root of the object tree.
    static constexpr char path[] = "/";

    // A notification on characteristic 4 or 8, sent while bluetoothd listens.
    void notify(int number, const Bytes &value);

private:
    void on_call(int number, const Glib::ustring &method, const Glib::VariantContainerBase &args,
                 const Invocation &invocation);
    void write_value(int number, const Bytes &value, const Invocation &invocation);
    void read_value(int number, const Invocation &invocation);
    void switch_notifications(int number, bool on, const Invocation &invocation);
    // The options of a read or a write: the host and the MTU of its link.
    void take_options(const PropertyMap &options);
    ExportedObject &characteristic(int number) { return *characteristics_[static_cast<std::size_t>(number)]; }

    const SimContext &context_;
    ReaderFirmware &firmware_;
    ServiceLayout layout_;
    std::function<void(const Glib::ustring &device)> heard_from_;
    ExportedObject service_;
    std::array<std::unique_ptr<ExportedObject>, characteristic_count + 1> characteristics_;
    std::array<bool, characteristic_count + 1> notifying_{};
};

} // namespace pemra_sim
