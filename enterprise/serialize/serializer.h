// The abstract packet writer and reader: typed calls that write or read one value under a tag,
// and calls that open and close a tag for nested values.
//
// A value call writes one element named by the tag holding the value's text; BeginTag and
// EndTag bracket a section whose content is written by the calls in between. A reader opens the
// element a tag names among the children of the open section (see the implementation for how it
// is found), so values may be read in another order than written unless the tag is ordered.
//
// Readers fill their output argument only on success: a failed read throws Common::Error and
// leaves the argument as it was, so that a caller can keep a default for a missing field.
//
// Thread-safety: a writer or reader is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/guid.h"
#include "core/common/noncopyable.h"
#include "enterprise/serialize/serialization_tag.h"

namespace Serialization {

/// Writes values into a packet.
class Serializer : private Common::NonCopyable {
  public:
    virtual ~Serializer() = default;

    /// `length` bytes at `data`.
    virtual void WriteBlob(const SerializationTag& tag, const void* data, size_t length) = 0;
    virtual void WriteBytes(const SerializationTag& tag, const std::vector<uint8_t>& value) = 0;
    virtual void WriteUInt16(const SerializationTag& tag, uint16_t value) = 0;
    virtual void WriteInt16(const SerializationTag& tag, int16_t value) = 0;
    /// Narrow text: each byte is one character, code points 0 to 255.
    virtual void WriteString(const SerializationTag& tag, std::string_view value) = 0;
    virtual void WriteInt64(const SerializationTag& tag, int64_t value) = 0;
    virtual void WriteInt32(const SerializationTag& tag, int32_t value) = 0;
    virtual void WriteUInt64(const SerializationTag& tag, uint64_t value) = 0;
    virtual void WriteDouble(const SerializationTag& tag, double value) = 0;
    virtual void WriteUInt32(const SerializationTag& tag, uint32_t value) = 0;
    /// Wide text: UTF-16, surrogate pairs combined.
    virtual void WriteWideString(const SerializationTag& tag, std::u16string_view value) = 0;
    virtual void WriteError(const SerializationTag& tag, const Common::Error& value) = 0;
    virtual void WriteGuid(const SerializationTag& tag, const Common::Guid& value) = 0;
    virtual void WriteUInt8(const SerializationTag& tag, uint8_t value) = 0;
    virtual void WriteBool(const SerializationTag& tag, bool value) = 0;

    /// Closes the packet and hands out its bytes, once: the writer is then spent, and later
    /// writes or finishes are programming errors.
    virtual std::vector<uint8_t> FinishBytes() = 0;
    /// The same as a string.
    virtual std::string FinishString() = 0;

    /// A copy of the innermost open tag, or an empty tag when none is open.
    virtual SerializationTag GetCurrentTag() const = 0;
    /// Opens a section for nested values.
    virtual void BeginTag(const SerializationTag& tag) = 0;
    /// Closes the section that the matching BeginTag opened.
    virtual void EndTag(const SerializationTag& tag) = 0;

    /// The format version that value writers of nested records consult; 0 at construction.
    virtual void SetCurrentFormatVersion(uint64_t version) = 0;
    virtual uint64_t GetCurrentFormatVersion() const = 0;
};

/// Reads values from a packet. Each read throws Common::Error when the value is missing or its
/// text is malformed.
class Deserializer : private Common::NonCopyable {
  public:
    virtual ~Deserializer() = default;

    /// The bytes of a blob or byte vector.
    virtual void ReadBytes(const SerializationTag& tag, std::vector<uint8_t>& value) = 0;
    virtual void ReadUInt16(const SerializationTag& tag, uint16_t& value) = 0;
    virtual void ReadInt16(const SerializationTag& tag, int16_t& value) = 0;
    /// Narrow text: the low byte of each character.
    virtual void ReadString(const SerializationTag& tag, std::string& value) = 0;
    virtual void ReadInt64(const SerializationTag& tag, int64_t& value) = 0;
    virtual void ReadInt32(const SerializationTag& tag, int32_t& value) = 0;
    virtual void ReadUInt64(const SerializationTag& tag, uint64_t& value) = 0;
    virtual void ReadDouble(const SerializationTag& tag, double& value) = 0;
    virtual void ReadUInt32(const SerializationTag& tag, uint32_t& value) = 0;
    virtual void ReadWideString(const SerializationTag& tag, std::u16string& value) = 0;
    virtual void ReadError(const SerializationTag& tag, Common::Error& value) = 0;
    virtual void ReadGuid(const SerializationTag& tag, Common::Guid& value) = 0;
    virtual void ReadUInt8(const SerializationTag& tag, uint8_t& value) = 0;
    virtual void ReadBool(const SerializationTag& tag, bool& value) = 0;

    /// Opens the section a tag names; its values are then read by the calls in between.
    virtual void BeginTag(const SerializationTag& tag) = 0;
    /// Closes the open section, which must be the one `tag` names.
    virtual void EndTag(const SerializationTag& tag) = 0;
    /// True when the open section's next element in order is named `name` (how a reader of a
    /// container finds where the elements end).
    virtual bool NextElementIs(std::string_view name) const = 0;
};

}  // namespace Serialization
