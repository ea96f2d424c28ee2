#include "platform/store/feed_updates.h"

#include <string>

#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/match.h"
#include "enterprise/common/zaph/unit_factory.h"
#include "platform/store/store_errors.h"

namespace KivoStore {
namespace {

Common::Error Corrupted(const Common::SourceLocation& place, uint64_t sequence,
                        const std::string& why) {
    return Common::Error(place, kCorruptedChange,
                         "KIVO: The change-log entry " + std::to_string(sequence) +
                             " does not read back: " + why + ".");
}

// A logged unit; null for an absent one.
Zaph::View::SharedUnitPtr ReadLogged(uint64_t sequence, std::span<const uint8_t> blob,
                                     const char* what) {
    if (blob.empty())
        return nullptr;
    if (blob.size() > kMaxObjectBytes)
        throw Corrupted(COMMON_PLACE("KivoStore::ReadLogged"), sequence,
                        std::string("its ") + what + " has " + std::to_string(blob.size()) +
                            " bytes, more than an object may have");
    try {
        return Zaph::View::SharedUnitPtr(
            Zaph::Util::ReadUnitFromBlob(blob, Zaph::Construction::DefaultUnitFactory()));
    } catch (const Common::Error& error) {
        Common::Error corrupted = Corrupted(COMMON_PLACE("KivoStore::ReadLogged"), sequence,
                                            std::string("its ") + what + " is not a unit");
        corrupted.Add(error);
        throw corrupted;
    }
}

}  // namespace

std::optional<Kivo::ViewManagement::ViewUpdate> DecideUpdate(const ChangeCursor& change,
                                                             const Zaph::View::Unit& pattern,
                                                             size_t& bytes) {
    const uint64_t sequence = change.Sequence();
    const int64_t kind = change.Kind();
    if (kind < 0 || kind > static_cast<int64_t>(ChangeKind::Deleted))
        throw Corrupted(COMMON_PLACE("KivoStore::DecideUpdate"), sequence,
                        "its kind " + std::to_string(kind) +
                            " is none of created, updated, "
                            "deleted");
    if (change.Id().size() != std::tuple_size_v<ObjectId>)
        throw Corrupted(COMMON_PLACE("KivoStore::DecideUpdate"), sequence, "its id is damaged");
    const auto changeKind = static_cast<ChangeKind>(kind);
    // The delete of a stored object that did not read back: no view ever held it.
    if (changeKind == ChangeKind::Deleted && change.Before().empty())
        return std::nullopt;
    const Zaph::View::SharedUnitPtr before =
        changeKind == ChangeKind::Created ? nullptr
                                          : ReadLogged(sequence, change.Before(), "old body");
    const Zaph::View::SharedUnitPtr after = changeKind == ChangeKind::Deleted
                                                ? nullptr
                                                : ReadLogged(sequence, change.After(), "new body");
    if ((changeKind != ChangeKind::Created && before == nullptr) ||
        (changeKind != ChangeKind::Deleted && after == nullptr))
        throw Corrupted(COMMON_PLACE("KivoStore::DecideUpdate"), sequence,
                        "a body it needs is missing");
    const bool wasIn = before != nullptr && Zaph::Util::Match(*before, pattern);
    const bool isIn = after != nullptr && Zaph::Util::Match(*after, pattern);
    Kivo::ViewManagement::ViewUpdate update;
    if (!wasIn && isIn) {
        update.Type = 0;
        update.Key = after;
        update.PackedUpdate = after;
        bytes = change.After().size();
    } else if (wasIn && isIn) {
        update.Type = 1;
        update.Key = Kivo::GetObjectKey(after);
        update.PackedUpdate = ReadLogged(sequence, change.Diff(), "diff");
        if (update.PackedUpdate == nullptr)
            throw Corrupted(COMMON_PLACE("KivoStore::DecideUpdate"), sequence,
                            "the diff of the update is missing");
        bytes = change.Diff().size();
    } else if (wasIn) {
        update.Type = 2;
        update.Key = Kivo::GetObjectKey(before);
        bytes = change.Key().size();
    } else {
        return std::nullopt;
    }
    return update;
}

}  // namespace KivoStore
