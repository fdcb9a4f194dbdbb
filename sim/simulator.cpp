#include "sim/simulator.h"

#include <algorithm>
#include <cstdio>

namespace pemra_sim {

namespace {

std::string reader_address(unsigned ordinal)
{
    char address[18];
    std::snprintf(address, sizeof address, "E1:A5:00:00:%02X:%02X", (ordinal >> 8) & 0xFF, ordinal & 0xFF);
    return address;
}

std::string reader_name(unsigned ordinal)
{
    char name[16];
    std::snprintf(name, sizeof name, "Pemra-%04X", ordinal & 0xFFFF);
    return name;
}

} // namespace

Simulator::Simulator(const SimContext &context, ReaderOptions defaults)
    : context_(context), defaults_(std::move(defaults))
{
}

Simulator::~Simulator()
{
    vicc_.reset();
    readers_.clear();
    adapters_.clear();
}

Glib::ustring Simulator::add_adapter()
{
    const unsigned index = next_adapter_++;
    const Glib::ustring path = adapter_path(index);
    auto adapter = std::make_shared<Adapter>(context_, index, [this, path](const Glib::ustring &device) {
        const bool ours = std::ranges::any_of(readers_, [&](const auto &reader) {
            return reader->path() == device && reader->adapter_path() == path;
        });
        if (ours)
            remove_reader(device);
        return ours;
    });
    adapters_.push_back(adapter);
    return adapter->path();
}

Adapter &Simulator::adapter(const Glib::ustring &path)
{
    const auto found = std::ranges::find(adapters_, path, &Adapter::path);
    if (found == adapters_.end())
        throw SimError("no adapter " + path);
    return **found;
}

void Simulator::remove_adapter(const Glib::ustring &path)
{
    adapter(path).release_applications({});
    for (const auto &device : reader_paths()) {
        if (reader(device).adapter_path() == path)
            remove_reader(device);
    }
    std::erase_if(adapters_, [&](const auto &adapter) { return adapter->path() == path; });
}

void Simulator::relay_vicc(unsigned port, const Glib::ustring &reader_path)
{
    Reader &target = reader(reader_path);
    target.firmware().set_card_status(card_absent);
    vicc_ = std::make_unique<ViccRelay>(port, [this, reader_path](bool present) {
        // The reader may have been removed meanwhile.
        const auto paths = reader_paths();
        if (std::ranges::find(paths, reader_path) != paths.end())
            reader(reader_path).firmware().set_card_status(present ? card_present : card_absent);
    });
    target.firmware().use_card(vicc_.get());
}

ReaderOptions Simulator::defaults_for_next_reader() const
{
    ReaderOptions options = defaults_;
    options.address = reader_address(next_reader_);
    options.name = reader_name(next_reader_);
    return options;
}

Glib::ustring Simulator::add_reader(const Glib::ustring &adapter_path, const ReaderOptions &options)
{
    const Adapter &host = adapter(adapter_path);
    const auto taken = std::ranges::any_of(readers_, [&](const auto &reader) {
        return reader->path() == device_path(adapter_path, options.address);
    });
    if (taken)
        throw SimError("a reader with address " + options.address + " exists on " + adapter_path);
    ++next_reader_;
    readers_.push_back(std::make_unique<Reader>(context_, AdapterRef{host.path(), host.address()}, options));
    return readers_.back()->path();
}

Reader &Simulator::reader(const Glib::ustring &path)
{
    const auto found = std::ranges::find_if(readers_, [&](const auto &reader) { return reader->path() == path; });
    if (found == readers_.end())
        throw SimError("no reader " + path);
    return **found;
}

void Simulator::remove_reader(const Glib::ustring &path)
{
    // BlueZ disconnects a device before it removes it.
    reader(path).set_connected(false);
    std::erase_if(readers_, [&](const auto &reader) { return reader->path() == path; });
}

std::vector<Glib::ustring> Simulator::reader_paths() const
{
    std::vector<Glib::ustring> paths;
    for (const auto &reader : readers_)
        paths.push_back(reader->path());
    return paths;
}

std::vector<std::pair<Glib::ustring, Application>> Simulator::applications() const
{
    std::vector<std::pair<Glib::ustring, Application>> all;
    for (const auto &adapter : adapters_) {
        for (const auto &application : adapter->applications())
            all.emplace_back(adapter->path(), application);
    }
    return all;
}

void Simulator::release_applications(std::function<void()> done)
{
    const PendingCalls pending = when_answered(std::move(done));
    for (const auto &adapter : adapters_)
        adapter->release_applications(pending);
}

} // namespace pemra_sim
