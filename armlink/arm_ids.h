// How the arm is found on the bus: its vendor and product id.
#pragma once

#include <cstdint>

namespace quillmar {

inline constexpr std::uint16_t arm_vendor_id = 0x1267;
inline constexpr std::uint16_t arm_product_id = 0x0000;

}  // namespace quillmar
