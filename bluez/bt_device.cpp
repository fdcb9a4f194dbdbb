#include "bluez/bt_device.h"

#include "bluez/variants.h"

namespace {

constexpr char interface_xml[] = R"(<node>
  <interface name="org.bluez.Device1">
    <method name="Disconnect"/>
    <method name="Connect"/>
    <method name="ConnectProfile"><arg name="UUID" type="s" direction="in"/></method>
    <method name="DisconnectProfile"><arg name="UUID" type="s" direction="in"/></method>
    <method name="Pair"/>
    <method name="CancelPairing"/>
    <property name="Address" type="s" access="readwrite"/>
    <property name="Name" type="s" access="readwrite"/>
    <property name="Alias" type="s" access="readwrite"/>
    <property name="Class" type="u" access="readwrite"/>
    <property name="Appearance" type="q" access="readwrite"/>
    <property name="Icon" type="s" access="readwrite"/>
    <property name="Paired" type="b" access="readwrite"/>
    <property name="Trusted" type="b" access="readwrite"/>
    <property name="Blocked" type="b" access="readwrite"/>
    <property name="LegacyPairing" type="b" access="readwrite"/>
    <property name="RSSI" type="n" access="readwrite"/>
    <property name="Connected" type="b" access="readwrite"/>
    <property name="UUIDs" type="as" access="readwrite"/>
    <property name="Modalias" type="s" access="readwrite"/>
    <property name="Adapter" type="o" access="readwrite"/>
    <property name="ManufacturerData" type="a{qv}" access="readwrite"/>
    <property name="ServiceData" type="a{sv}" access="readwrite"/>
    <property name="TxPower" type="n" access="readwrite"/>
    <property name="ServicesResolved" type="b" access="readwrite"/>
  </interface>
</node>)";

// A device property missing from the cache may take BlueZ long to answer.
constexpr int device_property_timeout_ms = 120000;

} // namespace

BTDevice::BTDevice(const Glib::RefPtr<Gio::DBus::Connection> &connection, const Glib::ustring &object_path)
    : proxy_(connection, object_path, interface_xml, device_property_timeout_ms)
{
}

void BTDevice::disconnect(std::function<void(const Glib::Error *error)> done)
{
    proxy_.call_async("Disconnect", {},
                      [done = std::move(done)](const Glib::Error *error, Glib::VariantContainerBase) { done(error); });
}

void BTDevice::connect(std::function<void(const Glib::Error *error)> done)
{
    proxy_.call_async("Connect", {},
                      [done = std::move(done)](const Glib::Error *error, Glib::VariantContainerBase) { done(error); });
}

std::optional<std::string> BTDevice::get_address() const
{
    auto address = proxy_.get_property("Address", Glib::VARIANT_TYPE_STRING);
    if (!address)
        return std::nullopt;
    return variants::string_or_empty(address);
}
