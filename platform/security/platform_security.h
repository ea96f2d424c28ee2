// KivoSecurity::ScopedPlatformSecurity: our security library behind Security_Initialize
// (core/security_api/security.h), registered for the lifetime of the scope.
//
// A program that connects to remote hosts makes one at the top of main, beside the other
// platform libraries. Initialize makes the clients' TLS context (tls.h), so that a CA file named
// by KIVO_CA_FILE that is missing, unreadable or holds no certificate is reported before any
// connection is tried.
//
// Thread-safety: Initialize may run on any thread.
#pragma once

#include <memory>

#include "core/security_api/security.h"

namespace KivoSecurity {

/// See the file comment.
class PlatformSecurity final : public SecurityApi::Library {
  public:
    [[nodiscard]] Common::Error Initialize() override;
};

/// Registers a PlatformSecurity for its lifetime.
class ScopedPlatformSecurity : private Common::NonCopyable {
  public:
    ScopedPlatformSecurity();
    /// Restores the library registered before.
    ~ScopedPlatformSecurity();

  private:
    std::shared_ptr<SecurityApi::Library> previous_;
};

}  // namespace KivoSecurity
