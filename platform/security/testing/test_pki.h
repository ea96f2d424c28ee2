// KivoSecurityTesting: certificates and users files that the tests of TLS connections make for
// themselves in a temporary folder, with OpenSSL's API (EC P-256 keys: fast, also under the
// sanitizers).
//
//   const KivoSecurityTesting::TestPki pki = KivoSecurityTesting::MakeTestPki(folder);
//   setenv("KIVO_CA_FILE", pki.caFile.c_str(), 1);     // the client trusts the test CA
//   kivod ... --tls-cert pki.serverCertFile --tls-key pki.serverKeyFile
//   KivoSecurityTesting::WriteTestUsers(folder + "/users", {{"u", "p"}});
//
// Key files and the users file are written with mode 0600, as the service demands; the users
// file with cheap scrypt parameters (kCheapScrypt), so that logins stay fast in tests.
//
// Thread-safety: the functions may run on any thread; they throw Common::Error on failure.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/security/password_hash.h"

namespace KivoSecurityTesting {

/// The files of MakeTestPki: PEM certificates and keys.
struct TestPki {
    std::string caFile;          ///< the test CA, which clients are told to trust
    std::string serverCertFile;  ///< signed by the CA, made out to IP 127.0.0.1 and DNS localhost
    std::string serverKeyFile;
    std::string otherHostCertFile;  ///< signed by the CA, made out only to DNS other.example
    std::string otherHostKeyFile;
    std::string untrustedCaFile;    ///< a second CA that clients do not trust
    std::string untrustedCertFile;  ///< signed by the untrusted CA, for 127.0.0.1 and localhost
    std::string untrustedKeyFile;
};

/// scrypt parameters cheap enough for tests: N = 2^10, r = 8, p = 1.
inline constexpr KivoSecurity::ScryptParameters kCheapScrypt{uint64_t{1} << 10, 8, 1};

/// Makes the files of TestPki in `folder` (which exists), named ca.pem, server.pem,
/// server.key, other.pem, other.key, untrusted-ca.pem, untrusted.pem and untrusted.key.
[[nodiscard]] TestPki MakeTestPki(const std::string& folder);

/// Writes the users file `path` (mode 0600) with one record per user and password, made with
/// kCheapScrypt.
void WriteTestUsers(const std::string& path,
                    const std::vector<std::pair<std::string, std::string>>& users);

}  // namespace KivoSecurityTesting
