// Reads arbitrary text as a store connection string. A string either names a store or raises a
// Common::Error; what it names must be consistent: an in-memory store has no file and is never
// read-only, a file store has a file.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "platform/store/connection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Command lines arrive as UTF-8, widened byte by byte where they are not.
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::u16string connection;
    if (!Common::Utf8ToUtf16(bytes, connection))
        connection = Common::WidenBytes(bytes);
    try {
        const KivoStore::ConnectionTarget target = KivoStore::ParseConnectionString(connection);
        if (target.inMemory && (target.readOnly || !target.filePath.empty()))
            std::abort();
        if (!target.inMemory && target.filePath.empty())
            std::abort();
    } catch (const Common::Error&) {
    }
    return 0;
}
