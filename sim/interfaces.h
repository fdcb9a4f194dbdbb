// Introspection data of every interface that pemra_sim exports: the subset
// of BlueZ's API that the driver meets, the objects that the peripheral
// offers the real bluetoothd (GATT application, advertisement, agent), and
// the program's own control interface.
#pragma once

#include <giomm/dbusintrospection.h>

namespace pemra_sim {

namespace iface {
inline constexpr char object_manager[] = "org.freedesktop.DBus.ObjectManager";
inline constexpr char properties[] = "org.freedesktop.DBus.Properties";
inline constexpr char introspectable[] = "org.freedesktop.DBus.Introspectable";
inline constexpr char adapter[] = "org.bluez.Adapter1";
inline constexpr char gatt_manager[] = "org.bluez.GattManager1";
inline constexpr char device[] = "org.bluez.Device1";
inline constexpr char gatt_service[] = "org.bluez.GattService1";
inline constexpr char gatt_characteristic[] = "org.bluez.GattCharacteristic1";
inline constexpr char gatt_profile[] = "org.bluez.GattProfile1";
inline constexpr char le_advertisement[] = "org.bluez.LEAdvertisement1";
inline constexpr char le_advertising_manager[] = "org.bluez.LEAdvertisingManager1";
inline constexpr char agent[] = "org.bluez.Agent1";
inline constexpr char agent_manager[] = "org.bluez.AgentManager1";
inline constexpr char control[] = "com.tarvenk.PemraSim1";
} // namespace iface

// The GATT service every Pemra reader offers; its characteristics are
// "0000000N" followed by the rest of it.
inline constexpr char pemra_service_uuid[] = "723e2ee5-f0aa-4f13-a557-6b3f0e916803";

namespace bluez_error {
inline constexpr char failed[] = "org.bluez.Error.Failed";
inline constexpr char in_progress[] = "org.bluez.Error.InProgress";
inline constexpr char not_permitted[] = "org.bluez.Error.NotPermitted";
inline constexpr char not_supported[] = "org.bluez.Error.NotSupported";
inline constexpr char already_exists[] = "org.bluez.Error.AlreadyExists";
inline constexpr char does_not_exist[] = "org.bluez.Error.DoesNotExist";
inline constexpr char invalid_arguments[] = "org.bluez.Error.InvalidArguments";
inline constexpr char rejected[] = "org.bluez.Error.Rejected";
} // namespace bluez_error

class InterfaceCatalog {
public:
    InterfaceCatalog();
    // Throws std::out_of_range for an interface the catalog does not describe.
    Glib::RefPtr<Gio::DBus::InterfaceInfo> get(const Glib::ustring &name) const;

private:
    Glib::RefPtr<Gio::DBus::NodeInfo> node_;
};

} // namespace pemra_sim
