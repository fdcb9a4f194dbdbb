#include "bluez/gatt_characteristic.h"

#include "bluez/variants.h"

#include <algorithm>

namespace {

constexpr char interface_xml[] = R"(<node>
  <interface name="org.bluez.GattCharacteristic1">
    <method name="ReadValue">
      <arg name="options" type="a{sv}" direction="in"/>
      <arg name="result" type="ay" direction="out"/>
    </method>
    <method name="WriteValue">
      <arg name="data" type="ay" direction="in"/>
      <arg name="options" type="a{sv}" direction="in"/>
    </method>
    <method name="StartNotify"/>
    <method name="StopNotify"/>
    <property name="UUID" type="s" access="readwrite"/>
    <property name="Service" type="o" access="readwrite"/>
    <property name="Value" type="ay" access="readwrite"/>
    <property name="Notifying" type="b" access="readwrite"/>
    <property name="Flags" type="as" access="readwrite"/>
  </interface>
</node>)";

} // namespace

GattCharacteristic::GattCharacteristic(const Glib::RefPtr<Gio::DBus::Connection> &connection,
                                       const Glib::ustring &object_path)
    : proxy_(connection, object_path, interface_xml)
{
}

void GattCharacteristic::read_value(ReadCompletion done)
{
    proxy_.call_async("ReadValue", variants::tuple({variants::empty_options()}),
                      [self = shared_from_this(), done = std::move(done)](
                          const Glib::Error *error, Glib::VariantContainerBase reply) {
                          done(error, error ? Bytes() : variants::bytes_of(reply.get_child(0)));
                      });
}

void GattCharacteristic::write_value(std::span<const std::uint8_t> data, Completion done)
{
    writes_.push_back({variants::tuple({variants::byte_array(data), variants::empty_options()}), std::move(done)});
    if (writes_.size() == 1)
        write_next();
}

// The reply is always asked for, also where nobody waits for it: on the
// system bus an answer that was not asked for is refused and logged.
void GattCharacteristic::write_next()
{
    proxy_.call_async("WriteValue", writes_.front().arguments,
                      [self = shared_from_this()](const Glib::Error *error, Glib::VariantContainerBase) {
                          Completion done = std::move(self->writes_.front().done);
                          self->writes_.pop_front();
                          if (!self->writes_.empty())
                              self->write_next();
                          if (done)
                              done(error);
                      });
}

void GattCharacteristic::ping(std::function<void()> done)
{
    proxy_.call_async("org.freedesktop.DBus.Peer.Ping", {},
                      [self = shared_from_this(), done = std::move(done)](const Glib::Error *,
                                                                          Glib::VariantContainerBase) { done(); });
}

void GattCharacteristic::start_notify()
{
    proxy_.call_sync("StartNotify");
}

Bytes GattCharacteristic::get_value() const
{
    auto value = proxy_.get_property("Value", Glib::VARIANT_TYPE_BYTESTRING);
    return value ? variants::bytes_of(*value) : Bytes();
}

void GattCharacteristic::restart_notify(Completion done)
{
    proxy_.call_async("StopNotify", {}, [self = shared_from_this(), done](const Glib::Error *error,
                                                                          Glib::VariantContainerBase) {
        if (error)
            return done(error);
        self->proxy_.call_async("StartNotify", {}, [self, done](const Glib::Error *error, Glib::VariantContainerBase) {
            done(error);
        });
    });
}

bool GattCharacteristic::has_flag(const char *flag) const
{
    const auto flags = proxy_.get_property("Flags", Glib::VARIANT_TYPE_STRING_ARRAY);
    if (!flags)
        return false;
    const auto names = Glib::VariantBase::cast_dynamic<Glib::Variant<std::vector<Glib::ustring>>>(*flags).get();
    return std::ranges::any_of(names, [flag](const Glib::ustring &name) { return name == flag; });
}

bool GattCharacteristic::get_notifying() const
{
    return variants::boolean_or_false(proxy_.get_property("Notifying", Glib::VARIANT_TYPE_BOOL));
}
