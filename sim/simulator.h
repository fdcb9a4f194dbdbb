// The scenario: the adapters and readers that exist, and the operations the
// control interface offers on them.
#pragma once

#include <memory>
#include <vector>

#include "sim/adapter.h"
#include "sim/reader.h"
#include "sim/vicc_relay.h"

namespace pemra_sim {

class Simulator {
public:
    Simulator(const SimContext &context, ReaderOptions defaults);
    ~Simulator();

    Glib::ustring add_adapter();
    void remove_adapter(const Glib::ustring &path);
    // `options` starts from defaults_for_next_reader().
    Glib::ustring add_reader(const Glib::ustring &adapter, const ReaderOptions &options);
    void remove_reader(const Glib::ustring &path);

    // vicc's card, relayed from `port`, becomes the card of the reader.
    void relay_vicc(unsigned port, const Glib::ustring &reader_path);

    ReaderOptions defaults_for_next_reader() const;
    Reader &reader(const Glib::ustring &path);
    std::vector<Glib::ustring> reader_paths() const;
    std::vector<std::pair<Glib::ustring, Application>> applications() const;
    // What BlueZ does before it leaves the bus: it calls Release on the
    // profiles of every application; `done` runs once they have answered.
    void release_applications(std::function<void()> done);

private:
    Adapter &adapter(const Glib::ustring &path);

    const SimContext &context_;
    ReaderOptions defaults_;
    std::vector<std::shared_ptr<Adapter>> adapters_;
    std::vector<std::unique_ptr<Reader>> readers_;
    std::unique_ptr<ViccRelay> vicc_;
    unsigned next_adapter_ = 0;
    unsigned next_reader_ = 1;
};

} // namespace pemra_sim
