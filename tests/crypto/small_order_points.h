// X25519 u-coordinates of small order, for which every scalar gives the
// all-zero product: zero, one, and the two points of order 8.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

inline constexpr std::array<const char*, 4> small_order_points{
    "0000000000000000000000000000000000000000000000000000000000000000",
    "0100000000000000000000000000000000000000000000000000000000000000",
    "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800",
    "5f9c95bca3508c24b1d0b1559c83ef5b04445cc4581c8e86d8224eddd09f1157",
};

inline std::string small_order_point_name(const testing::TestParamInfo<const char*>& info)
{
    return "u_" + std::string(std::string_view(info.param).substr(0, 8));
}
