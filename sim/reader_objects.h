// The BlueZ objects of one reader: its device (org.bluez.Device1), its
// Pemra GATT service (org.bluez.GattService1) and characteristics 1 to 9
// (org.bluez.GattCharacteristic1), at BlueZ's paths:
//   <adapter>/dev_XX_XX_XX_XX_XX_XX
//   <device>/service0010
//   <service>/char00NN
// Method calls are handed to the reader; this class keeps the properties.
#pragma once

#include <array>
#include <memory>
#include <string_view>

#include "sim/dbus_object.h"
#include "sim/reader_options.h"
#include "sim/sim_context.h"

namespace pemra_sim {

inline constexpr int characteristic_count = 9;

class ReaderObjects {
public:
    using DeviceCall = std::function<void(const Glib::ustring &method, const Invocation &invocation)>;
    using CharacteristicCall = std::function<void(int number, const Glib::ustring &method,
                                                  const Glib::VariantContainerBase &args, const Invocation &)>;

    ReaderObjects(const SimContext &context, const Glib::ustring &adapter_path, const std::string &address,
                  const std::string &name, const ServiceLayout &layout, const LinkState &link,
                  std::size_t notify_size, DeviceCall on_device, CharacteristicCall on_characteristic);
    ~ReaderObjects();
    ReaderObjects(const ReaderObjects &) = delete;
    ReaderObjects &operator=(const ReaderObjects &) = delete;

    const Glib::ustring &device_path() const { return device_.path(); }
    bool connected() const;
    bool paired() const;
    bool services_resolved() const;
    // Changes Device1 properties, announced in one signal.
    void set_device(const PropertyMap &changes);

    bool has(int number) const { return characteristic(number) != nullptr; }
    void set_notifying(int number, bool on);
    // A notification, announced `times` times: once per session.
    void notify(int number, const Bytes &value, std::size_t times);
    // The value BlueZ keeps after a read, announced once, as bluetoothd
    // announces every value it read (src/gatt-client.c).
    void store_value(int number, const Bytes &value);
    Bytes value(int number) const;
    void set_mtu(std::size_t notify_size);
    // Whether characteristic `number` carries the flag ("read", "write",
    // "write-without-response", "notify").
    bool has_flag(int number, std::string_view flag) const;

private:
    ExportedObject *characteristic(int number) const;
    std::unique_ptr<ExportedObject> add_characteristic(const ExportedObject &service, unsigned service_handle,
                                                       int number, bool uppercase, std::size_t notify_size,
                                                       MethodHandler on_call);
    void add_foreign_service(std::size_t notify_size);

    const SimContext &context_;
    ServiceLayout layout_;
    ExportedObject device_;
    ExportedObject service_;
    std::array<std::unique_ptr<ExportedObject>, characteristic_count + 1> characteristics_;
    std::unique_ptr<ExportedObject> foreign_service_;
    std::vector<std::unique_ptr<ExportedObject>> foreign_characteristics_;
};

// The UUID of characteristic `number`: "0000000N" and the rest of the
// Pemra service's UUID.
std::string characteristic_uuid(int number, bool uppercase = false);

// The flags of characteristic `number` as a Pemra reader declares them and
// BlueZ shows them (Flags).
std::vector<Glib::ustring> characteristic_flags(int number, const ServiceLayout &layout);

// BlueZ's path of a device: the adapter's path, then "dev_" and the address
// with every character that a path may not hold replaced by '_'.
Glib::ustring device_path(const Glib::ustring &adapter_path, const std::string &address);

} // namespace pemra_sim
