#include "platform/security/security.h"

int32_t Security_Initialize(Common::LineTag /*caller*/, uint32_t /*flags*/) noexcept {
    return 0;
}

void Security_GetLastError(uint8_t*& bytes, uint32_t& length) noexcept {
    bytes = nullptr;
    length = 0;
}
