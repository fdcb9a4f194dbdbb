#pragma once

#include <memory>
#include <string>

#include "worker/reader_candidates.h"

class PemraDevice;

// A scan is running: no second one starts meanwhile.
extern bool checking_devs;

// Scans BlueZ's objects for ready Pemra readers and gives the first wanted
// one a free slot with a new session.
void connect_available_devices();

// A free slot exists and the device is in none of them.
bool this_pemra_wanted(const std::string &devpath);
bool enough_pemras_connected();

void add_pemra(const std::shared_ptr<PemraDevice> &dev);
void card_status_changed(PemraDevice &dev, int status);
void pemra_disconnected(PemraDevice &dev);
