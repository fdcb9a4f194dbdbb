#pragma once

// Connects to the system bus, exports the driver's GATT application and
// registers it with BlueZ's adapters. On success conn is set.
bool setup_bus();
