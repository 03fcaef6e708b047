#ifndef OSTREL_SETUP_SHA256_H_
#define OSTREL_SETUP_SHA256_H_

// SHA-256 (FIPS 180-4) of a byte string held whole in memory, for the
// extension id. Not meant for secrets: nothing is wiped, nothing is
// constant-time.

#include <array>
#include <cstdint>
#include <string_view>

namespace ostrel::setup {

using Sha256Digest = std::array<std::uint8_t, 32>;

Sha256Digest sha256(std::string_view bytes);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_SHA256_H_
