#pragma once

// Where the driver's GATT application lives on the system bus.
inline constexpr char application_path[] = "/com/tarvenk";
inline constexpr char profile_path[] = "/com/tarvenk/pemraprofile";
