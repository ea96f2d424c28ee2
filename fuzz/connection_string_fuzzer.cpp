// Reads arbitrary text as a store connection string. A string either names a store or raises a
// Common::Error; what it names must be consistent: an in-memory store has no file and is never
// read-only, a file store has a file; a PostgreSQL store has a schema, and the name it is shown
// by never holds the password of the string.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "platform/store/connection.h"
#include "platform/store/postgres_session.h"

namespace {

// Whether `shown` holds a password: a "password=" parameter or a user part's ":password@" that
// is not "***".
bool ShowsPassword(const std::string& shown) {
    for (size_t at = shown.find("password="); at != std::string::npos;
         at = shown.find("password=", at + 1)) {
        const size_t value = at + 9;
        if (at > 0 && (shown[at - 1] == '?' || shown[at - 1] == '&') &&
            shown.compare(value, std::string::npos, "***") != 0 &&
            shown.compare(value, 4, "***&") != 0)
            return true;
    }
    const size_t start = shown.find("://") + 3;
    const size_t end = std::min(shown.find('?', start), shown.size());
    const size_t userEnd = shown.rfind('@', end - 1);
    if (userEnd == std::string::npos || userEnd < start)
        return false;
    const size_t colon = shown.find(':', start);
    return colon < userEnd && shown.compare(colon, userEnd - colon, ":***") != 0;
}

// A PostgreSQL connection string's target, checked as the header comment says.
void CheckPostgres(const std::string& text) {
    try {
        const KivoStore::PostgresTarget target = KivoStore::ParsePostgresTarget(text);
        if (target.schema.empty() || target.keywords.size() != target.values.size() ||
            ShowsPassword(target.displayName))
            std::abort();
    } catch (const Common::Error&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Command lines arrive as UTF-8, widened byte by byte where they are not.
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::u16string connection;
    if (!Common::Utf8ToUtf16(bytes, connection))
        connection = Common::WidenBytes(bytes);
    if (KivoStore::IsPostgresConnection(bytes)) {
        CheckPostgres(std::string(bytes));
        return 0;
    }
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
