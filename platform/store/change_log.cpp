#include "platform/store/change_log.h"

#include <algorithm>
#include <string>

#include "platform/store/store_errors.h"

namespace KivoStore {
namespace {

constexpr const char* kPrunedBelow = "pruned_below";
constexpr const char* kRetentionAge = "retention_age_seconds";
constexpr const char* kRetentionEntries = "retention_entries";

}  // namespace

void CheckRetention(const Retention& retention) {
    if (retention.age.count() < 1 || retention.age > kMaxRetentionAge || retention.entries < 1 ||
        retention.entries > kMaxRetentionEntries)
        throw Common::Error(COMMON_PLACE("KivoStore::CheckRetention"), kBadRetention,
                            "KIVO: A retention keeps entries from 1 second to " +
                                std::to_string(kMaxRetentionAge.count()) +
                                " seconds, and from 1 to " + std::to_string(kMaxRetentionEntries) +
                                " entries.");
}

Common::Error BadSetting(const Common::SourceLocation& place, const char* name, int64_t low,
                         int64_t high, uint32_t code) {
    std::string text = "KIVO: The store's setting '";
    text += name;
    text += "' is missing or out of bounds (";
    text += std::to_string(low);
    text += " to ";
    text += std::to_string(high);
    text += "); the store was changed outside this library.";
    return Common::Error(place, code, text);
}

Common::Error BadNewestSequence(const Common::SourceLocation& place, int64_t newest) {
    return Common::Error(place, kCorruptedChange,
                         "KIVO: The change log holds the sequence number " +
                             std::to_string(newest) + ", out of bounds.");
}

Retention ReadRetentionSettings(const SettingReader& read) {
    Retention retention;
    retention.age =
        std::chrono::seconds(read(kRetentionAge, 1, kMaxRetentionAge.count(), kBadRetention));
    retention.entries = static_cast<uint64_t>(
        read(kRetentionEntries, 1, static_cast<int64_t>(kMaxRetentionEntries), kBadRetention));
    return retention;
}

void WriteRetentionSettings(const Retention& retention, const SettingWriter& write) {
    CheckRetention(retention);
    write(kRetentionAge, retention.age.count());
    write(kRetentionEntries, static_cast<int64_t>(retention.entries));
}

uint64_t ReadPrunedBelow(const SettingReader& read) {
    return static_cast<uint64_t>(read(kPrunedBelow, 1, kMaxSequence, kCorruptedChange));
}

void WritePrunedBelow(uint64_t mark, const SettingWriter& write) {
    write(kPrunedBelow, static_cast<int64_t>(mark));
}

uint64_t PruneMark(const FeedMarks& marks, const Retention& retention,
                   std::optional<uint64_t> firstYoung) {
    // Age: the prefix up to the first entry young enough to keep (all of it when none is).
    uint64_t cut = firstYoung.value_or(marks.last + 1);
    // Size: the newest `entries` numbers stay.
    if (marks.last + 1 > retention.entries)
        cut = std::max(cut, marks.last + 1 - retention.entries);
    return std::max(cut, marks.prunedBelow);
}

}  // namespace KivoStore
