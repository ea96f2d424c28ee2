// Reads arbitrary text as a users file. Whatever is accepted stays within the bounds, and the
// records written back read again as the same records.

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/security/users_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<KivoSecurity::PasswordRecord> records;
    if (!KivoSecurity::ParseUsers(text, records).IsEmpty())
        return 0;
    if (records.size() > KivoSecurity::kMaxUsers)
        std::abort();
    std::vector<KivoSecurity::PasswordRecord> again;
    if (!KivoSecurity::ParseUsers(KivoSecurity::FormatUsers(records), again).IsEmpty() ||
        again.size() != records.size())
        std::abort();
    for (size_t i = 0; i < records.size(); ++i) {
        const KivoSecurity::PasswordRecord& before = records[i];
        const KivoSecurity::PasswordRecord& after = again[i];
        if (before.user != after.user || before.user.size() > KivoSecurity::kMaxUserNameBytes ||
            !(before.parameters == after.parameters) || before.salt != after.salt ||
            before.hash != after.hash ||
            !KivoSecurity::CheckParameters(before.parameters).IsEmpty())
            std::abort();
    }
    return 0;
}
