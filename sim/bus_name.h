// The program's name on its bus: "org.bluez" for the stand-in, its own for
// the peripheral. Giving it up for a while stands for a bluetoothd that
// stops and is started again.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <giomm/dbusconnection.h>

namespace pemra_sim {

class BusName {
public:
    // `refused`: the bus did not give us the name, or took it away.
    BusName(Glib::RefPtr<Gio::DBus::Connection> connection, std::string name, std::function<void()> refused);
    ~BusName();
    BusName(const BusName &) = delete;
    BusName &operator=(const BusName &) = delete;

    void own();
    // Gives the name up, which the bus has done when this returns, and owns
    // it again after `gap`.
    void release_for(std::chrono::milliseconds gap);

private:
    void release();

    Glib::RefPtr<Gio::DBus::Connection> connection_;
    std::string name_;
    std::function<void()> refused_;
    guint owner_ = 0;
};

} // namespace pemra_sim
