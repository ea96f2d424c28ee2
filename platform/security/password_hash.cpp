#include "platform/security/password_hash.h"

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <memory>

#include "platform/security/openssl_reason.h"

namespace KivoSecurity {
namespace {

constexpr uint64_t kMinN = uint64_t{1} << 10;
constexpr uint64_t kMaxN = uint64_t{1} << 20;
constexpr uint32_t kMaxR = 32;
constexpr uint32_t kMaxP = 16;
constexpr uint64_t kMaxMemory = uint64_t{256} << 20;
// What OpenSSL's scrypt takes beyond its two arrays, so that the bound never refuses by a hair.
constexpr uint64_t kMemorySlack = uint64_t{1} << 20;

struct KdfDeleter {
    void operator()(EVP_KDF_CTX* context) const noexcept { EVP_KDF_CTX_free(context); }
};

Common::Error HashFailed(const Common::SourceLocation& place, const std::string& why) {
    return Common::Error(place, kPasswordHashFailed,
                         "KIVO: The password cannot be hashed: " + why + ".");
}

}  // namespace

Common::Error CheckParameters(const ScryptParameters& parameters) {
    const uint64_t n = parameters.n;
    const bool powerOfTwo = n != 0 && (n & (n - 1)) == 0;
    if (!powerOfTwo || n < kMinN || n > kMaxN || parameters.r < 1 || parameters.r > kMaxR ||
        parameters.p < 1 || parameters.p > kMaxP || 128 * n * parameters.r > kMaxMemory ||
        // scrypt's own rule: N below 2^(16 r).
        (parameters.r < 4 && n >= (uint64_t{1} << (16 * parameters.r))))
        return HashFailed(COMMON_PLACE("KivoSecurity::CheckParameters"),
                          "the scrypt parameters N=" + std::to_string(n) +
                              ", r=" + std::to_string(parameters.r) +
                              ", p=" + std::to_string(parameters.p) + " are outside the bounds");
    return Common::Error();
}

Common::Error DeriveKey(std::string_view password, std::span<const uint8_t, kSaltBytes> salt,
                        const ScryptParameters& parameters, std::array<uint8_t, kHashBytes>& hash) {
    if (Common::Error bad = CheckParameters(parameters); !bad.IsEmpty())
        return bad;
    // Fetched once, since a fetch searches the providers, and never freed: OpenSSL cleans up at
    // exit.
    static EVP_KDF* const scrypt = EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_SCRYPT, nullptr);
    const std::unique_ptr<EVP_KDF_CTX, KdfDeleter> context(
        scrypt != nullptr ? EVP_KDF_CTX_new(scrypt) : nullptr);
    if (context == nullptr)
        return HashFailed(COMMON_PLACE("KivoSecurity::DeriveKey"),
                          TakeOpenSslReason("scrypt is not available"));
    static const char kNoBytes = 0;
    uint64_t n = parameters.n;
    uint32_t r = parameters.r;
    uint32_t p = parameters.p;
    uint64_t memory = 128 * uint64_t{r} * (n + p + 2) + kMemorySlack;
    const OSSL_PARAM settings[] = {
        OSSL_PARAM_construct_octet_string(
            OSSL_KDF_PARAM_PASSWORD,
            const_cast<char*>(password.empty() ? &kNoBytes : password.data()), password.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<uint8_t*>(salt.data()),
                                          salt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &memory),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_KDF_derive(context.get(), hash.data(), hash.size(), settings) != 1)
        return HashFailed(COMMON_PLACE("KivoSecurity::DeriveKey"),
                          TakeOpenSslReason("the derivation failed"));
    return Common::Error();
}

Common::Error MakeRecord(std::string_view user, std::string_view password,
                         const ScryptParameters& parameters, PasswordRecord& record) {
    PasswordRecord made;
    made.user = user;
    made.parameters = parameters;
    if (RAND_bytes(made.salt.data(), static_cast<int>(made.salt.size())) != 1)
        return HashFailed(COMMON_PLACE("KivoSecurity::MakeRecord"),
                          TakeOpenSslReason("no random salt can be drawn"));
    if (Common::Error failed = DeriveKey(password, made.salt, parameters, made.hash);
        !failed.IsEmpty())
        return failed;
    record = std::move(made);
    return Common::Error();
}

}  // namespace KivoSecurity
