// One simulated Pemra reader: its BlueZ objects, its end of the tunnel, its
// message protocol with the card, its radio link (what it sends waits for a
// connection event when a connection interval is set) and its fault
// switches; and what BlueZ keeps about it: the clients' notification
// sessions and the requests outstanding on its link.
#pragma once

#include <string>

#include "sim/att_requests.h"
#include "sim/faults.h"
#include "sim/notify_sessions.h"
#include "sim/radio.h"
#include "sim/reader_objects.h"
#include "sim/reader_protocol.h"
#include "sim/reader_tunnel.h"

namespace pemra_sim {

inline constexpr std::size_t min_message_size = 16;
inline constexpr std::size_t max_message_size = 0xFFFF;

struct ReaderOptions {
    std::string address;
    std::string name;
    LinkState link;
    bool card = true;
    std::size_t notify_size = 20;
    std::size_t message_size = 1024;
    ServiceLayout layout;
    // Like a reader built on BlueZ: it reports its card status only when
    // the host switches its notifications of 8 on from off. It keeps that
    // switch, per host, across link losses; bluetoothd kept it on, it
    // hears nothing when the host writes "on" again.
    bool status_at_switch_on = false;
};

// What is wrong with the notify or message size, or nothing.
std::string notify_size_problem(std::size_t size);
std::string size_problem(const ReaderOptions &options);

// Where a reader is attached: its adapter, whose address names the host
// to the reader.
struct AdapterRef {
    Glib::ustring path;
    std::string address;
};

class Reader {
public:
    Reader(const SimContext &context, const AdapterRef &adapter, const ReaderOptions &options);
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    const Glib::ustring &path() const { return objects_.device_path(); }
    const Glib::ustring &adapter_path() const { return adapter_.path; }

    void set_connected(bool connected);
    void set_paired(bool paired);
    void set_services_resolved(bool resolved);
    void set_card_status(std::uint8_t status);
    // Another card in the slot (nothing: the built-in card again).
    void use_card(CardBackend *card) { protocol_.use_card(card); }
    void set_notify_size(std::size_t size);
    void forget_keys();
    Faults &faults() { return faults_; }

private:
    void connect();
    void disconnect();
    void on_device_call(const Glib::ustring &method, const Invocation &invocation);
    void on_characteristic_call(int number, const Glib::ustring &method, const Glib::VariantContainerBase &args,
                                const Invocation &invocation);
    void write_value(int number, const Bytes &value, const Invocation &invocation);
    // A Write Request, or a long write of that many Prepare Writes.
    void write_request(int number, const Bytes &value, std::size_t prepare_writes, const Invocation &invocation);
    void read_value(int number, const Invocation &invocation);
    void read_header(const Invocation &invocation);
    // What a request gets when the link drops before the reader answers it.
    std::function<void()> link_lost_before_answer(AttRequests::Id request, const Invocation &invocation);
    // Puts the answer on the air after the write-answer-delay-ms pause.
    void answer_late(std::function<void()> answer, std::function<void()> lost);
    void start_notify(int number, const Invocation &invocation);
    void stop_notify(int number, const Invocation &invocation);
    // The host writes the client configuration of characteristic `number`.
    void enable_notifications(int number);
    void disable_notifications(int number);
    bool fails(std::optional<Fault> fault, const Invocation &invocation);
    Bytes status_value() const;
    // A notification, sent on the air while the host listens.
    void notify(int number, const Bytes &value);
    void log(const std::string &event, const std::string &detail = {}, const Bytes &data = {});

    const SimContext &context_;
    AdapterRef adapter_;
    std::string address_;
    Faults faults_;
    Radio radio_;
    ReaderProtocol protocol_;
    ReaderTunnel tunnel_;
    ReaderObjects objects_;
    NotifySessions sessions_;
    AttRequests requests_;
    bool status_at_switch_on_;
    // The host's switch of characteristic 8's notifications, as the reader
    // keeps it.
    bool status_switch_on_ = false;
    // Answers that wait for their pause, and what each gets if the link
    // drops first.
    std::vector<std::pair<sigc::connection, std::function<void()>>> late_answers_;
};

} // namespace pemra_sim
