#include "sim_control.h"

#include <tuple>

namespace {

constexpr char first_adapter[] = "/org/bluez/hci0";

Glib::VariantBase path(const std::string &object) { return Glib::Variant<Glib::DBusObjectPathString>::create(object); }

} // namespace

SimControl::SimControl(Glib::RefPtr<Gio::DBus::Connection> connection) : connection_(std::move(connection)) {}

Glib::VariantContainerBase SimControl::call(const Glib::ustring &method,
                                            const std::vector<Glib::VariantBase> &arguments) const
{
    return connection_->call_sync("/sim", "com.tarvenk.PemraSim1", method,
                                  Glib::VariantContainerBase::create_tuple(arguments), "org.bluez");
}

std::string SimControl::add_reader(const ReaderOptions &options)
{
    const auto reply = call("AddReader", {path(first_adapter), Glib::Variant<ReaderOptions>::create(options)});
    Glib::Variant<Glib::DBusObjectPathString> device;
    reply.get_child(device, 0);
    return device.get();
}

void SimControl::set_connected(const std::string &device, bool connected)
{
    call("SetConnected", {path(device), Glib::Variant<bool>::create(connected)});
}

void SimControl::set_paired(const std::string &device, bool paired)
{
    call("SetPaired", {path(device), Glib::Variant<bool>::create(paired)});
}

void SimControl::set_card_status(const std::string &device, std::uint8_t status)
{
    call("SetCardStatus", {path(device), Glib::Variant<guint8>::create(status)});
}

void SimControl::set_notify_size(const std::string &device, unsigned size)
{
    call("SetNotifySize", {path(device), Glib::Variant<guint32>::create(size)});
}

void SimControl::set_fault(const std::string &device, const std::string &name, int value)
{
    call("SetFault", {path(device), Glib::Variant<Glib::ustring>::create(name), Glib::Variant<gint32>::create(value)});
}

std::vector<SimControl::LogEntry> SimControl::log() const
{
    using Entry = std::tuple<Glib::ustring, Glib::ustring, Glib::ustring, std::vector<std::uint8_t>>;
    Glib::Variant<std::vector<Entry>> entries;
    call("GetLog", {}).get_child(entries, 0);
    std::vector<LogEntry> log;
    for (const auto &[event, source, detail, data] : entries.get())
        log.push_back({event, source, detail, data});
    return log;
}

void SimControl::clear_log() { call("ClearLog", {}); }
