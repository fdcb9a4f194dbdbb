#include "sim/bus_name.h"

#include <cstdio>

#include <gio/gio.h>
#include <glibmm/main.h>

namespace pemra_sim {

BusName::BusName(Glib::RefPtr<Gio::DBus::Connection> connection, std::string name, std::function<void()> refused)
    : connection_(std::move(connection)), name_(std::move(name)), refused_(std::move(refused))
{
}

BusName::~BusName() { release(); }

// giomm owns names only on the bus types it connects itself; the name is
// wanted on the connection the objects live on.
void BusName::own()
{
    auto acquired = [](GDBusConnection *, const gchar *name, gpointer) {
        std::printf("pemra_sim: serving %s\n", name);
        std::fflush(stdout);
    };
    auto lost = [](GDBusConnection *, const gchar *name, gpointer self) {
        std::fprintf(stderr, "pemra_sim: cannot own %s\n", name);
        static_cast<BusName *>(self)->refused_();
    };
    owner_ = g_bus_own_name_on_connection(connection_->gobj(), name_.c_str(), G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
                                          acquired, lost, this, nullptr);
}

void BusName::release()
{
    // Waits for the bus to confirm the release; no callback runs afterwards.
    if (owner_ != 0)
        g_bus_unown_name(owner_);
    owner_ = 0;
}

void BusName::release_for(std::chrono::milliseconds gap)
{
    release();
    std::printf("pemra_sim: gave up %s for %lld ms\n", name_.c_str(), static_cast<long long>(gap.count()));
    std::fflush(stdout);
    Glib::signal_timeout().connect_once([this] { own(); }, static_cast<unsigned>(gap.count()));
}

} // namespace pemra_sim
