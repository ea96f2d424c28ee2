// KivoSecurity password hashing: scrypt through OpenSSL 3's EVP_KDF "SCRYPT", with the memory
// bound (maxmem_bytes) raised to what the parameters need, so that parameters past the 32 MiB
// of the older EVP_PBE_scrypt work.
//
// A password record keeps its own parameters, so that a users file written with cheaper ones
// keeps working after the defaults are raised. Parameters outside the bounds below are refused
// before any memory is taken: a users file is outside input, and a record asking for gigabytes
// must not be able to take them.
//
// Thread-safety: pure functions (MakeRecord draws its salt from OpenSSL's generator).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/common/error/error.h"

namespace KivoSecurity {

/// The key derivation failed, or parameters are outside the bounds.
inline constexpr uint32_t kPasswordHashFailed = 0x2740018;

inline constexpr size_t kSaltBytes = 16;
inline constexpr size_t kHashBytes = 32;

/// scrypt's cost parameters: N (a power of two), r and p.
struct ScryptParameters {
    uint64_t n = uint64_t{1} << 15;
    uint32_t r = 8;
    uint32_t p = 1;
    friend bool operator==(const ScryptParameters&, const ScryptParameters&) = default;
};

/// The parameters of new records: N = 2^15, r = 8, p = 1 (32 MiB, and about a tenth of a
/// second per check on a small server).
inline constexpr ScryptParameters kDefaultScrypt{};

/// Bounds: N a power of two from 2^10 to 2^20, r from 1 to 32, p from 1 to 16, and the memory
/// that N and r take (128 * N * r bytes) at most 256 MiB.
[[nodiscard]] Common::Error CheckParameters(const ScryptParameters& parameters);

/// scrypt of `password` with `salt` and `parameters` into `hash`.
[[nodiscard]] Common::Error DeriveKey(std::string_view password,
                                      std::span<const uint8_t, kSaltBytes> salt,
                                      const ScryptParameters& parameters,
                                      std::array<uint8_t, kHashBytes>& hash);

/// One user's record.
struct PasswordRecord {
    std::string user;
    ScryptParameters parameters;
    std::array<uint8_t, kSaltBytes> salt{};
    std::array<uint8_t, kHashBytes> hash{};
};

/// A record for `user` and `password` with a new random salt.
[[nodiscard]] Common::Error MakeRecord(std::string_view user, std::string_view password,
                                       const ScryptParameters& parameters, PasswordRecord& record);

}  // namespace KivoSecurity
