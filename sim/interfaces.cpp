#include "sim/interfaces.h"

#include <stdexcept>

namespace pemra_sim {

namespace {

// Members and property access as BlueZ documents them.
constexpr char introspection_xml[] = R"xml(
<node>
  <interface name="org.freedesktop.DBus.ObjectManager">
    <method name="GetManagedObjects">
      <arg name="objects" type="a{oa{sa{sv}}}" direction="out"/>
    </method>
    <signal name="InterfacesAdded">
      <arg name="object" type="o"/>
      <arg name="interfaces" type="a{sa{sv}}"/>
    </signal>
    <signal name="InterfacesRemoved">
      <arg name="object" type="o"/>
      <arg name="interfaces" type="as"/>
    </signal>
  </interface>
  <interface name="org.bluez.Adapter1">
    <method name="StartDiscovery"/>
    <method name="StopDiscovery"/>
    <method name="RemoveDevice">
      <arg name="device" type="o" direction="in"/>
    </method>
    <property name="Address" type="s" access="read"/>
    <property name="AddressType" type="s" access="read"/>
    <property name="Name" type="s" access="read"/>
    <property name="Alias" type="s" access="readwrite"/>
    <property name="Class" type="u" access="read"/>
    <property name="Powered" type="b" access="readwrite"/>
    <property name="Discoverable" type="b" access="readwrite"/>
    <property name="DiscoverableTimeout" type="u" access="readwrite"/>
    <property name="Pairable" type="b" access="readwrite"/>
    <property name="PairableTimeout" type="u" access="readwrite"/>
    <property name="Discovering" type="b" access="read"/>
    <property name="UUIDs" type="as" access="read"/>
    <property name="Modalias" type="s" access="read"/>
  </interface>
  <interface name="org.bluez.GattManager1">
    <method name="RegisterApplication">
      <arg name="application" type="o" direction="in"/>
      <arg name="options" type="a{sv}" direction="in"/>
    </method>
    <method name="UnregisterApplication">
      <arg name="application" type="o" direction="in"/>
    </method>
  </interface>
  <interface name="org.bluez.Device1">
    <method name="Disconnect"/>
    <method name="Connect"/>
    <method name="ConnectProfile">
      <arg name="UUID" type="s" direction="in"/>
    </method>
    <method name="DisconnectProfile">
      <arg name="UUID" type="s" direction="in"/>
    </method>
    <method name="Pair"/>
    <method name="CancelPairing"/>
    <property name="Address" type="s" access="read"/>
    <property name="AddressType" type="s" access="read"/>
    <property name="Name" type="s" access="read"/>
    <property name="Alias" type="s" access="readwrite"/>
    <property name="Paired" type="b" access="read"/>
    <property name="Bonded" type="b" access="read"/>
    <property name="Trusted" type="b" access="readwrite"/>
    <property name="Blocked" type="b" access="readwrite"/>
    <property name="LegacyPairing" type="b" access="read"/>
    <property name="RSSI" type="n" access="read"/>
    <property name="Connected" type="b" access="read"/>
    <property name="UUIDs" type="as" access="read"/>
    <property name="Adapter" type="o" access="read"/>
    <property name="ServicesResolved" type="b" access="read"/>
  </interface>
  <interface name="org.bluez.GattService1">
    <property name="UUID" type="s" access="read"/>
    <property name="Device" type="o" access="read"/>
    <property name="Primary" type="b" access="read"/>
    <property name="Includes" type="ao" access="read"/>
  </interface>
  <interface name="org.bluez.GattCharacteristic1">
    <method name="ReadValue">
      <arg name="options" type="a{sv}" direction="in"/>
      <arg name="value" type="ay" direction="out"/>
    </method>
    <method name="WriteValue">
      <arg name="value" type="ay" direction="in"/>
      <arg name="options" type="a{sv}" direction="in"/>
    </method>
    <method name="StartNotify"/>
    <method name="StopNotify"/>
    <property name="UUID" type="s" access="read"/>
    <property name="Service" type="o" access="read"/>
    <property name="Value" type="ay" access="read"/>
    <property name="Notifying" type="b" access="read"/>
    <property name="Flags" type="as" access="read"/>
    <property name="MTU" type="q" access="read"/>
  </interface>
  <interface name="org.bluez.LEAdvertisement1">
    <method name="Release"/>
    <property name="Type" type="s" access="read"/>
    <property name="ServiceUUIDs" type="as" access="read"/>
    <property name="LocalName" type="s" access="read"/>
  </interface>
  <interface name="org.bluez.Agent1">
    <method name="Release"/>
    <method name="RequestPinCode">
      <arg name="device" type="o" direction="in"/>
      <arg name="pincode" type="s" direction="out"/>
    </method>
    <method name="DisplayPinCode">
      <arg name="device" type="o" direction="in"/>
      <arg name="pincode" type="s" direction="in"/>
    </method>
    <method name="RequestPasskey">
      <arg name="device" type="o" direction="in"/>
      <arg name="passkey" type="u" direction="out"/>
    </method>
    <method name="DisplayPasskey">
      <arg name="device" type="o" direction="in"/>
      <arg name="passkey" type="u" direction="in"/>
      <arg name="entered" type="q" direction="in"/>
    </method>
    <method name="RequestConfirmation">
      <arg name="device" type="o" direction="in"/>
      <arg name="passkey" type="u" direction="in"/>
    </method>
    <method name="RequestAuthorization">
      <arg name="device" type="o" direction="in"/>
    </method>
    <method name="AuthorizeService">
      <arg name="device" type="o" direction="in"/>
      <arg name="uuid" type="s" direction="in"/>
    </method>
    <method name="Cancel"/>
  </interface>
  <interface name="com.tarvenk.PemraSim1">
    <method name="AddAdapter">
      <arg name="adapter" type="o" direction="out"/>
    </method>
    <method name="RemoveAdapter">
      <arg name="adapter" type="o" direction="in"/>
    </method>
    <method name="AddReader">
      <arg name="adapter" type="o" direction="in"/>
      <arg name="options" type="a{sv}" direction="in"/>
      <arg name="device" type="o" direction="out"/>
    </method>
    <method name="RemoveReader">
      <arg name="device" type="o" direction="in"/>
    </method>
    <method name="ListReaders">
      <arg name="devices" type="ao" direction="out"/>
    </method>
    <method name="SetConnected">
      <arg name="device" type="o" direction="in"/>
      <arg name="connected" type="b" direction="in"/>
    </method>
    <method name="SetPaired">
      <arg name="device" type="o" direction="in"/>
      <arg name="paired" type="b" direction="in"/>
    </method>
    <method name="SetServicesResolved">
      <arg name="device" type="o" direction="in"/>
      <arg name="resolved" type="b" direction="in"/>
    </method>
    <method name="InsertCard">
      <arg name="device" type="o" direction="in"/>
    </method>
    <method name="RemoveCard">
      <arg name="device" type="o" direction="in"/>
    </method>
    <method name="SetCardStatus">
      <arg name="device" type="o" direction="in"/>
      <arg name="status" type="y" direction="in"/>
    </method>
    <method name="SetNotifySize">
      <arg name="device" type="o" direction="in"/>
      <arg name="size" type="u" direction="in"/>
    </method>
    <method name="SetProperties">
      <arg name="object" type="o" direction="in"/>
      <arg name="interface" type="s" direction="in"/>
      <arg name="values" type="a{sv}" direction="in"/>
    </method>
    <method name="SetFault">
      <arg name="device" type="o" direction="in"/>
      <arg name="name" type="s" direction="in"/>
      <arg name="value" type="i" direction="in"/>
    </method>
    <method name="ClearFaults">
      <arg name="device" type="o" direction="in"/>
    </method>
    <method name="ForgetKeys">
      <arg name="device" type="o" direction="in"/>
    </method>
    <method name="GetLog">
      <arg name="events" type="a(sssay)" direction="out"/>
    </method>
    <method name="ClearLog"/>
    <method name="GetCounters">
      <arg name="counters" type="a{st}" direction="out"/>
    </method>
    <method name="GetApplications">
      <arg name="applications" type="a(osob)" direction="out"/>
    </method>
  </interface>
</node>
)xml";

} // namespace

InterfaceCatalog::InterfaceCatalog() : node_(Gio::DBus::NodeInfo::create_for_xml(introspection_xml)) {}

Glib::RefPtr<Gio::DBus::InterfaceInfo> InterfaceCatalog::get(const Glib::ustring &name) const
{
    auto info = node_->lookup_interface(name);
    if (!info)
        throw std::out_of_range("no introspection data for " + name);
    return info;
}

} // namespace pemra_sim
