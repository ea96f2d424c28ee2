// The change log of a store, as an engine keeps it.
//
// Every write of an object logs one entry in the same transaction: its sequence number, the
// kind of change, the object's id and key unit, its body before the change (updates and
// deletes), its body after it (creates and updates), and for an update the diff (diff.h). Bodies
// and keys are binary forms (enterprise/common/zaph/binary_form.h). Sequence numbers grow
// strictly in commit order and are never given out twice, also after pruning.
//
// Retention, kept in the store so that every writer obeys the same rule: entries older than
// `age`, and the oldest entries beyond the newest `entries`, are pruned by writers inside their
// own transactions. Pruning removes a prefix of the log and raises the pruned-below mark: every
// sequence number below the mark may be gone. A reader that still needs a number below the mark
// has lost history (kHistoryLost); the mark, not a missing number, decides that.
//
// Thread-safety: plain values; a cursor as its engine.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace KivoStore {

/// What a log entry records. The values are stored; never renumber them.
enum class ChangeKind : uint8_t { Created = 0, Updated = 1, Deleted = 2 };

/// How long the log keeps its entries; see the file comment.
struct Retention {
    std::chrono::seconds age{24 * 60 * 60};
    uint64_t entries = 1'000'000;
};

/// The bounds of a retention setting, when set and when read back from a store.
inline constexpr std::chrono::seconds kMaxRetentionAge{100LL * 366 * 24 * 60 * 60};
inline constexpr uint64_t kMaxRetentionEntries = 1ULL << 53;

/// One entry as a writer hands it to the engine, which numbers it. The spans are read during
/// the call only; empty ones are stored as absent.
struct ChangeRecord {
    ChangeKind kind = ChangeKind::Created;
    std::span<const uint8_t> id;
    std::span<const uint8_t> key;
    std::span<const uint8_t> before;
    std::span<const uint8_t> after;
    std::span<const uint8_t> diff;
};

/// Where the log stands: every number below `prunedBelow` may be pruned, and `last` is the
/// newest number given out (prunedBelow - 1 when none is kept).
struct FeedMarks {
    uint64_t prunedBelow = 1;
    uint64_t last = 0;
};

/// The largest sequence number an engine gives out (within a signed 64-bit column).
inline constexpr int64_t kMaxSequence = INT64_MAX / 2;

// What every engine's log does alike.

/// Throws kBadRetention unless `retention` is within the bounds above.
void CheckRetention(const Retention& retention);
/// The error of a setting (`code`) that is missing or outside low..high in the store.
[[nodiscard]] Common::Error BadSetting(const Common::SourceLocation& place, const char* name,
                                       int64_t low, int64_t high, uint32_t code);
/// The error of a log whose newest number `newest` is outside 1..kMaxSequence.
[[nodiscard]] Common::Error BadNewestSequence(const Common::SourceLocation& place, int64_t newest);
/// Reads the store's setting `name` (a kivo_store row) within low..high, or throws BadSetting
/// with `code`: each engine's own reading.
using SettingReader =
    std::function<int64_t(const char* name, int64_t low, int64_t high, uint32_t code)>;
/// Writes the store's setting `name`.
using SettingWriter = std::function<void(const char* name, int64_t value)>;
/// The retention and the pruned-below mark as the settings keep them, with their bounds.
[[nodiscard]] Retention ReadRetentionSettings(const SettingReader& read);
/// Throws kBadRetention (CheckRetention) before writing anything.
void WriteRetentionSettings(const Retention& retention, const SettingWriter& write);
[[nodiscard]] uint64_t ReadPrunedBelow(const SettingReader& read);
void WritePrunedBelow(uint64_t mark, const SettingWriter& write);
/// The number of the next entry of a write transaction that logs its first one.
[[nodiscard]] inline uint64_t NextSequence(const FeedMarks& marks) {
    return marks.last + 1 > marks.prunedBelow ? marks.last + 1 : marks.prunedBelow;
}
/// The new pruned-below mark after a prune by `retention`, given the number of the oldest entry
/// still young enough to keep (none: every entry is old); marks.prunedBelow when nothing goes.
[[nodiscard]] uint64_t PruneMark(const FeedMarks& marks, const Retention& retention,
                                 std::optional<uint64_t> firstYoung);

/// Walks log entries in ascending sequence order. The kind is as stored (it may be out of
/// range in a damaged row); the spans stay valid until the next call.
class ChangeCursor : private Common::NonCopyable {
  public:
    virtual ~ChangeCursor() = default;
    /// Moves to the next entry; false at the end.
    virtual bool Next() = 0;
    virtual uint64_t Sequence() const = 0;
    virtual int64_t Kind() const = 0;
    virtual std::span<const uint8_t> Id() const = 0;
    virtual std::span<const uint8_t> Key() const = 0;
    virtual std::span<const uint8_t> Before() const = 0;
    virtual std::span<const uint8_t> After() const = 0;
    virtual std::span<const uint8_t> Diff() const = 0;
};

}  // namespace KivoStore
