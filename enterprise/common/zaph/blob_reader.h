// Reading the binary form of a unit (binary_form.h) back.
//
// BlobWalkingRoute replays stored bytes as walk events (unit_walker.h): 'U' gives OnUnitBegin,
// 'E' OnUnitEnd, 'A' OnArray, 'C' OnUnitBegin followed by OnComposite, 'P' and 'T' the
// OnProperty or OnTrait of the name that follows, and a type byte the OnNil or OnValue of the
// value that follows. Follow replays a whole blob after one OnUnitBegin.
//
// ReadUnitFromBlob builds the unit whose binary form the blob is, over the caller's factory: the
// canonical form through its fast path (canonical_blob_reader.h), anything else with a
// UnitAccumulator (unit_builder.h). Blobs come from peers and from files: any byte
// sequence ends in a unit or in a Common::Error, in time and memory bounded by its size.
// "ZAPH: Unit object '{0}' is corrupted at position '{1}'." (Errors::kUnitCorrupted) with the
// byte position, when
//   - a byte is neither a tag nor a type byte, or a name is not a String value;
//   - a value, a length or a name runs past the end, or a string has an odd byte length;
//   - an error's byte form is malformed (error.h);
//   - units nest deeper than kMaxUnitDepth (position of the event that went too deep);
//   - bytes follow the root unit, or the blob ends before the root unit is closed (position
//     of the end).
// {0} quotes the blob as lower-case hexadecimal: all of it up to kMaxQuotedBlobBytes bytes,
// else that many bytes around the position, with "..." where it is cut.
// Events that the accumulator refuses raise its own errors (a property of a unit that is not a
// composite, a trait or property closed without a value, values of two kinds for one unit).
//
// Reading normalises: traits that are equal are kept once, properties take their name order,
// a property named twice is assigned twice, a Boolean byte other than 0 reads as true. Writing
// a unit read from any blob and reading it again therefore gives the same bytes.
//
// Thread-safety: the blob must not change during the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "enterprise/common/zaph/unit_factory.h"
#include "enterprise/common/zaph/unit_walker.h"

namespace Zaph {
namespace Errors {

/// A stored binary form that cannot be read.
inline constexpr uint32_t kUnitCorrupted = 0xFA0021;

}  // namespace Errors

namespace Util {

/// The most bytes of a blob quoted in the corruption error.
inline constexpr size_t kMaxQuotedBlobBytes = 64;

class BlobWalkingRoute {
  public:
    explicit BlobWalkingRoute(std::span<const uint8_t> blob) : blob_(blob) {}

    /// Replays all of `blob` to `walker`, after one OnUnitBegin.
    static void Follow(std::span<const uint8_t> blob, UnitWalker& walker);

    /// Replays the next tag or value; false when no bytes are left.
    bool Step(UnitWalker& walker);
    /// The position of the next byte to read.
    size_t Offset() const { return offset_; }
    /// Raises the corruption error for the byte at `position`.
    [[noreturn]] void ThrowCorrupted(size_t position) const;

  private:
    // The next `size` bytes; raises the corruption error of the item at `item` past the end.
    const uint8_t* Take(size_t size, size_t item);
    uint32_t TakeLength(size_t item);
    Name TakeName(size_t item);
    String TakeString(size_t item);
    void ReplayValue(UnitWalker& walker);

    std::span<const uint8_t> blob_;
    size_t offset_ = 0;
};

/// The unit whose binary form `blob` is; see the file comment.
Construction::UnitPtr ReadUnitFromBlob(std::span<const uint8_t> blob,
                                       Construction::UnitFactory& factory);

}  // namespace Util
}  // namespace Zaph
