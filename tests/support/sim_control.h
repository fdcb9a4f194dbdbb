#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <giomm/dbusconnection.h>

// A client of pemra_sim's control interface (com.tarvenk.PemraSim1 at
// /sim); see pemra_sim --help. Failures throw Glib::Error.
class SimControl {
public:
    struct LogEntry {
        std::string event;
        std::string source;
        std::string detail;
        std::vector<std::uint8_t> data;
    };
    using ReaderOptions = std::map<Glib::ustring, Glib::VariantBase>;

    explicit SimControl(Glib::RefPtr<Gio::DBus::Connection> connection);

    // A new reader on the first adapter: its device path.
    std::string add_reader(const ReaderOptions &options = {});
    void set_connected(const std::string &device, bool connected);
    void set_paired(const std::string &device, bool paired);
    void set_card_status(const std::string &device, std::uint8_t status);
    void set_notify_size(const std::string &device, unsigned size);
    void set_fault(const std::string &device, const std::string &name, int value);
    // Every entry since the last clear_log, oldest first.
    std::vector<LogEntry> log() const;
    void clear_log();

private:
    Glib::VariantContainerBase call(const Glib::ustring &method, const std::vector<Glib::VariantBase> &arguments) const;

    Glib::RefPtr<Gio::DBus::Connection> connection_;
};
