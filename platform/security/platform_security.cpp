#include "platform/security/platform_security.h"

#include "platform/security/tls.h"

namespace KivoSecurity {

Common::Error PlatformSecurity::Initialize() {
    std::shared_ptr<const TlsContext> context;
    return ClientContext(context);
}

ScopedPlatformSecurity::ScopedPlatformSecurity()
    : previous_(SecurityApi::RegisterLibrary(std::make_shared<PlatformSecurity>())) {}

ScopedPlatformSecurity::~ScopedPlatformSecurity() {
    SecurityApi::RegisterLibrary(std::move(previous_));
}

}  // namespace KivoSecurity
