// KivoSecurityTesting: the certificates and users files that the tests of TLS connections make
// for themselves, with OpenSSL's API (EC P-256 keys: fast, also under the sanitizers). Key files
// and users files get mode 0600, as the service demands; users files cheap scrypt parameters
// (kCheapScrypt), so that logins stay fast.
//
// Thread-safety: the functions may run on any thread; they throw Common::Error on failure.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/security/password_hash.h"

namespace KivoSecurityTesting {

/// The PEM files of MakeTestPki. Server certificates are made out to IP 127.0.0.1 and DNS
/// localhost unless said otherwise.
struct TestPki {
    std::string caFile;                               ///< the CA that clients are told to trust
    std::string serverCertFile, serverKeyFile;        ///< signed by the CA
    std::string otherHostCertFile, otherHostKeyFile;  ///< by the CA, only for DNS other.example
    std::string untrustedCertFile, untrustedKeyFile;  ///< signed by a CA that clients do not trust
};

/// scrypt parameters cheap enough for tests: N = 2^10, r = 8, p = 1.
inline constexpr KivoSecurity::ScryptParameters kCheapScrypt{uint64_t{1} << 10, 8, 1};

/// Makes the files of TestPki in `folder` (which exists): ca.pem (and the CA's ca.key),
/// server.pem, server.key, other.pem, other.key, untrusted.pem and untrusted.key.
[[nodiscard]] TestPki MakeTestPki(const std::string& folder);

/// Writes the users file `path` with one record per user and password.
void WriteTestUsers(const std::string& path,
                    const std::vector<std::pair<std::string, std::string>>& users);

/// A temporary folder of this process's own, made at the first call and removed with all it holds
/// when the process exits.
[[nodiscard]] const std::string& TestFolder();

}  // namespace KivoSecurityTesting
