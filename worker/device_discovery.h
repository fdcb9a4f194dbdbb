#pragma once

// Scans BlueZ's objects for a ready Pemra reader and gives it the slot.
void connect_available_devices();
