// The fast path of ReadUnitFromBlob (blob_reader.h): a reader of the canonical binary form, the
// bytes that WriteUnitToBlob writes, which stores and peers hand back almost always.
//
//   unit   := 'U' value traits 'E'
//   value  := 'C' ('P' name unit)* | 'A' unit* | a type byte and its value
//   traits := ('T' name unit)*
//
// with property names in strictly increasing order and every name a String value. It builds
// the units straight through the factory, without the events, frames and pending batches of
// the general reader. It declines, returning null, at the first thing it does not know: any
// other byte, properties out of order, a malformed error, nesting deeper than
// kMaxCanonicalDepth, bytes missing or left over. The general reader then reads the blob and
// gives the unit or the error, so the two readers agree on every blob.
//
// Thread-safety: the blob must not change during the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "enterprise/common/zaph/unit_factory.h"

namespace Zaph::Util::Detail {

/// The `size` (at most 8) bytes at `bytes` as a little-endian number.
inline uint64_t LoadLittleEndian(const uint8_t* bytes, size_t size) {
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    }
    return value;
}

/// The GUID whose binary form is the 16 bytes at `bytes`.
Guid LoadGuid(const uint8_t* bytes);

/// The `units` little-endian UTF-16 units at `bytes`, as `text`.
void LoadUnits(const uint8_t* bytes, size_t units, String& text);

/// The deepest nesting that the canonical reader follows (the general reader goes on to
/// kMaxUnitDepth).
inline constexpr size_t kMaxCanonicalDepth = 64;

/// The unit whose canonical binary form `blob` is, or null; see the file comment.
Construction::UnitPtr ReadCanonicalBlob(std::span<const uint8_t> blob,
                                        Construction::UnitFactory& factory);

}  // namespace Zaph::Util::Detail
