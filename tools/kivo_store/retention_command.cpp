#include "tools/kivo_store/retention_command.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <string_view>

#include "core/common/error/error.h"
#include "platform/store/store.h"
#include "tools/kivo_store/store_command.h"

namespace KivoStoreTool {
namespace {

// The decimal number `text`, digits only; nothing for anything else or past 2^64 - 1.
std::optional<uint64_t> Decimal(std::string_view text) {
    if (text.empty())
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

KivoStore::Retention ApplyRetentionWords(KivoStore::Retention retention,
                                         const std::vector<std::string>& arguments) {
    std::optional<uint64_t> age;
    std::optional<uint64_t> entries;
    for (const std::string& argument : arguments) {
        const size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        std::optional<uint64_t>* slot = name == "age"       ? &age
                                        : name == "entries" ? &entries
                                                            : nullptr;
        if (slot == nullptr || equals == std::string::npos)
            throw Common::Error(COMMON_PLACE("KivoStoreTool::RunRetention"), kUsage,
                                "'" + argument + "' is not age=<seconds> or entries=<count>");
        if (slot->has_value())
            throw Common::Error(COMMON_PLACE("KivoStoreTool::RunRetention"), kUsage,
                                name + " is given twice");
        *slot = Decimal(std::string_view(argument).substr(equals + 1));
        if (!slot->has_value())
            throw Common::Error(
                COMMON_PLACE("KivoStoreTool::RunRetention"), kUsage,
                "'" + argument.substr(equals + 1) + "' is not a decimal number below 2^64");
    }
    // Past the store's bound every age is refused alike, so a huge one is cut to fit.
    if (age.has_value())
        retention.age =
            std::chrono::seconds(static_cast<int64_t>(std::min<uint64_t>(*age, LLONG_MAX / 1000)));
    if (entries.has_value())
        retention.entries = *entries;
    return retention;
}

std::string RunRetention(const std::u16string& connection,
                         const std::vector<std::string>& arguments) {
    // The words are checked before the store is opened.
    (void)ApplyRetentionWords({}, arguments);
    std::shared_ptr<KivoStore::Store> store = KivoStore::Store::Open(connection);
    KivoStore::Retention retention = store->GetRetention();
    if (!arguments.empty()) {
        store->SetRetention(ApplyRetentionWords(retention, arguments));
        retention = store->GetRetention();
    }
    return "retention: age " + std::to_string(retention.age.count()) + " s, entries " +
           std::to_string(retention.entries) + "\n";
}

}  // namespace KivoStoreTool
