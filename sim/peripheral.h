// pemra_sim --peripheral: the reader itself, on a real bluetoothd beside it
// on the system bus, for a host whose own bluetoothd pairs with it and
// talks to it over the radio. The reader's firmware is the stand-in's;
// what the stand-in simulates of BlueZ, the real bluetoothd does. On its
// adapter the reader registers its GATT service (GattApplication), its
// advertisement and its pairing agent, makes the adapter powered, pairable
// and discoverable, and follows the host's link (HostLink).
#pragma once

#include <chrono>
#include <functional>

#include "sim/advertisement.h"
#include "sim/bluez_calls.h"
#include "sim/control.h"
#include "sim/gatt_application.h"
#include "sim/host_link.h"
#include "sim/pairing_agent.h"
#include "sim/reader_firmware.h"

namespace pemra_sim {

inline constexpr char peripheral_bus_name[] = "com.tarvenk.PemraSim";

// The first adapter of the reader's bluetoothd that can advertise.
void find_adapter(BluezCalls &bluez, std::function<void(const AdapterRef &adapter)> found, BluezFailure failed);

class Peripheral : public ControlledReader {
public:
    // `options.address` is replaced by the adapter's.
    Peripheral(const SimContext &context, BluezCalls &bluez, const AdapterRef &adapter, ReaderOptions options);

    // Sets the adapter up and registers everything; `ready` once the
    // reader advertises.
    void start(std::function<void()> ready, BluezFailure failed);

    ReaderFirmware &firmware() override { return firmware_; }
    // false: the reader stops advertising and drops the link; true: it
    // advertises again, and the host connects by itself.
    void set_connected(bool connected) override;
    // What a reader does when it is switched off: it stops advertising and
    // drops the link, so that the host sees it go; `done` once bluetoothd
    // has dropped it. Without that, the host would stay connected to a
    // reader whose GATT service went away with this program.
    void switch_off(std::function<void()> done);

private:
    void register_application(std::function<void()> done, const BluezFailure &failed);
    void heard_from(const Glib::ustring &device);
    void log_step(const std::string &step);

    const SimContext &context_;
    BluezCalls &bluez_;
    AdapterRef adapter_;
    ReaderFirmware firmware_;
    GattApplication application_;
    Advertisement advertisement_;
    PairingAgent agent_;
    HostLink host_link_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

} // namespace pemra_sim
