#pragma once

// The Pemra GATT service: readers that offer it are the ones the driver
// serves, and the driver's GATT application names it so that BlueZ connects
// them by itself.
inline constexpr char pemra_service_uuid[] = "723e2ee5-f0aa-4f13-a557-6b3f0e916803";
