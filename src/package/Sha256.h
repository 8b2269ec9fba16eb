// SHA-256 of a byte string (FIPS 180-4).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kt {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest Sha256(std::string_view bytes);

}  // namespace kt
