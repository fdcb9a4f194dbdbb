// One simulated Pemra reader as the stand-in shows it: its firmware (the
// reader's own logic, shared with the peripheral), its BlueZ objects, its
// radio link (what it sends waits for a connection event when a connection
// interval is set); and what BlueZ keeps about it: the clients'
// notification sessions and the requests outstanding on its link.
#pragma once

#include <string>

#include "sim/att_requests.h"
#include "sim/control.h"
#include "sim/notify_sessions.h"
#include "sim/radio.h"
#include "sim/reader_firmware.h"
#include "sim/reader_objects.h"

namespace pemra_sim {

class Reader : public ControlledReader {
public:
    Reader(const SimContext &context, const AdapterRef &adapter, const ReaderOptions &options);
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    const Glib::ustring &path() const { return objects_.device_path(); }
    const Glib::ustring &adapter_path() const { return adapter_.path; }

    ReaderFirmware &firmware() override { return firmware_; }
    void set_connected(bool connected) override;
    void set_paired(bool paired);
    void set_services_resolved(bool resolved);
    void set_notify_size(std::size_t size);

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
    bool fails(std::optional<Fault> fault, const Invocation &invocation);
    // A notification, sent on the air while the host listens.
    void notify(int number, const Bytes &value);
    void log(const std::string &event, const std::string &detail = {}, const Bytes &data = {});

    AdapterRef adapter_;
    ReaderFirmware firmware_;
    Radio radio_;
    ReaderObjects objects_;
    NotifySessions sessions_;
    AttRequests requests_;
    // Answers that wait for their pause, and what each gets if the link
    // drops first.
    std::vector<std::pair<sigc::connection, std::function<void()>>> late_answers_;
};

} // namespace pemra_sim
