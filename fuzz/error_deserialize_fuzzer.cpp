// Reads arbitrary bytes as the byte form of an error. Whatever it reads must print, and what it
// writes back must read again without a decode error.

#include <cstdint>
#include <cstdlib>

#include "core/common/error/error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Common::Error error = Common::Error::Deserialize(data, size);
    (void)error.ToText();
    if (error.Code() == Common::kErrorBytesMalformed) {
        return 0;
    }
    Common::DynamicBuffer buffer;
    if (!error.Serialize(buffer)) {
        std::abort();
    }
    const Common::Error again = Common::Error::Deserialize(buffer.Data(), buffer.Size());
    if (again.Code() == Common::kErrorBytesMalformed || again.Code() != error.Code()) {
        std::abort();
    }
    return 0;
}
