#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "byte_tables.h"
#include "sim_control.h"
#include "tunnel/pemra_tunnel_service.h"

using namespace std::chrono_literals;

// What a transfer completed with.
struct TransferOutcome {
    bool completed = false;
    std::optional<Failure> failure;
    Bytes reply;
};

TransferOutcome outcome_of(Outcome<Bytes> reply);

// Each test has a reader of its own on the stand-in, which the program
// runs on a private bus (see tunnel_environment.cpp), and iterates the
// default main context itself: no worker thread.
class TunnelTest : public testing::Test {
protected:
    TunnelTest();

    // A reader with these AddReader options; `reader` is the first one.
    std::string add_reader(const SimControl::ReaderOptions &options);
    ManagedObjects managed_objects() const;
    // The Pemra service object of a reader's device.
    std::string service_of(const std::string &device) const;
    // The Bluetooth address of a reader's device as BlueZ shows it.
    std::string address_of(const std::string &device) const;
    // The object path of a reader's characteristic by its number.
    std::string characteristic_of(const std::string &device, int number) const;
    // connect_dbus on BlueZ's objects as the stand-in shows them.
    std::shared_ptr<PemraTunnelService> connect(const std::string &device);
    std::shared_ptr<PemraTunnelService> connect_reader(const SimControl::ReaderOptions &options = {});

    // Runs the loop until `done` or the limit; whether `done` came true.
    bool run_until(const std::function<bool()> &done, std::chrono::milliseconds limit = 5s);
    void run_for(std::chrono::milliseconds time);
    // Starts a transfer and runs the loop until it completed.
    TransferOutcome transfer(PemraTunnelService &tunnel, const Bytes &message,
                             std::chrono::milliseconds limit = 5s);
    // Starts a transfer whose outcome lands in `outcome`.
    void start_transfer(PemraTunnelService &tunnel, const Bytes &message, TransferOutcome &outcome);

    // The stand-in's log of `device`, event and detail as given.
    std::vector<Bytes> logged(const std::string &device, const std::string &event, const std::string &detail) const;
    // The stand-in's log of the first reader as "event detail" lines.
    std::vector<std::string> events() const;
    std::vector<Bytes> writes(int characteristic) const { return logged(reader, "write", std::to_string(characteristic)); }
    std::size_t reads(int characteristic) const { return logged(reader, "read", std::to_string(characteristic)).size(); }

    Glib::RefPtr<Gio::DBus::Connection> bus;
    SimControl sim;
    std::string reader;
};
