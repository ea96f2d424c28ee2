#include "core/security_api/security.h"

#include <cstring>
#include <new>
#include <utility>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/registered_instance.h"

namespace SecurityApi {
namespace {

// The failure of the calling thread's last Security_Initialize.
thread_local Common::Error lastError;

}  // namespace

std::shared_ptr<Library> GetLibrary() noexcept {
    return Common::RegisteredInstance<Library>::Get();
}

std::shared_ptr<Library> RegisterLibrary(std::shared_ptr<Library> library) noexcept {
    return Common::RegisteredInstance<Library>::Exchange(std::move(library));
}

}  // namespace SecurityApi

int32_t Security_Initialize(Common::LineTag /*caller*/, uint32_t /*flags*/) noexcept {
    const std::shared_ptr<SecurityApi::Library> library = SecurityApi::GetLibrary();
    SecurityApi::lastError =
        library != nullptr
            ? library->Initialize()
            : Common::Error(COMMON_PLACE("Security_Initialize"),
                            SecurityApi::kSecurityNotRegistered,
                            Common::GetCatalogMessage(Common::kMsgSecurityNotRegistered));
    return SecurityApi::lastError.IsEmpty() ? 0 : 1;
}

void Security_GetLastError(uint8_t*& bytes, uint32_t& length) noexcept {
    bytes = nullptr;
    length = 0;
    Common::DynamicBuffer buffer;
    if (SecurityApi::lastError.IsEmpty() || !SecurityApi::lastError.Serialize(buffer))
        return;
    bytes = new (std::nothrow) uint8_t[buffer.Size()];
    if (bytes == nullptr)
        return;
    std::memcpy(bytes, buffer.Data(), buffer.Size());
    length = static_cast<uint32_t>(buffer.Size());
}
