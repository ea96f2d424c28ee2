// XMLPacketSerializer: the packet writer. A packet is one XML document:
//
//   EF BB BF "<XML_SERIALIZER>" elements "</XML_SERIALIZER>"
//
// with no XML declaration and no whitespace between elements. Each value is an element named by
// its tag holding the value's text:
// - integers in decimal (signed types with a sign), bytes and booleans ("1"/"0") too; doubles as
//   printf's "%g"; GUIDs in the upper-case text form without braces;
// - blobs, byte vectors and errors (their byte form) in base64 on one line, nothing for no bytes;
// - texts escaped: a text with a line feed and without "]]>", control characters other than tab
//   and line feed, unpaired surrogates, U+FFFE or U+FFFF is written as CDATA with each line feed
//   as "\r\n"; any other text character by character, with '<' as "&lt;", '&' as "&amp;", a
//   character below 32 as "&#N;" (N decimal), a blank as "&#32;" unless it follows a non-blank
//   character and is not the last one (so leading, trailing and repeated blanks survive readers
//   that trim), unpaired surrogates, U+FFFE and U+FFFF as "&#N;", and the '>' of a "]]>" as
//   "&gt;" (other '>' stay as they are). Narrow text is taken byte by byte as code points 0 to
//   255, wide text as UTF-16; both are written in UTF-8.
// An element gets the attribute version="N" when its tag's version is non-zero (N is the tag's
// written version instead when its section version equals a non-zero filter). A tag with
// metadata closes with a section <traits><trait name=".." type="..">value</trait>...</traits>
// holding the first list and then the second.
//
// Section-version filter: with a non-zero filter, a tag whose section version is non-zero and
// different from the filter is not written, and neither is anything written between its
// BeginTag and EndTag (nested sections stay balanced).
//
// Misuse is reported by assertion and leaves the packet well-formed: an EndTag without an open
// tag writes nothing, an EndTag closes the innermost open tag whatever its name, finishing closes
// the tags left open, writes after finishing are ignored, and finishing again hands out nothing.
//
// An error value whose byte form cannot be held in memory throws Common::kOutOfMemoryError.
//
// Thread-safety: one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "enterprise/serialize/serializer.h"

namespace Serialization {

/// The name of a packet's root element.
inline constexpr const char* kPacketRootName = "XML_SERIALIZER";

class XMLPacketSerializer final : public Serializer {
  public:
    /// `formatVersion` is kept for the value writers of records; `sectionFilter` 0 filters
    /// nothing.
    XMLPacketSerializer(uint32_t formatVersion, uint32_t sectionFilter);

    void WriteBlob(const SerializationTag& tag, const void* data, size_t length) override;
    void WriteBytes(const SerializationTag& tag, const std::vector<uint8_t>& value) override;
    void WriteUInt16(const SerializationTag& tag, uint16_t value) override;
    void WriteInt16(const SerializationTag& tag, int16_t value) override;
    void WriteString(const SerializationTag& tag, std::string_view value) override;
    void WriteInt64(const SerializationTag& tag, int64_t value) override;
    void WriteInt32(const SerializationTag& tag, int32_t value) override;
    void WriteUInt64(const SerializationTag& tag, uint64_t value) override;
    void WriteDouble(const SerializationTag& tag, double value) override;
    void WriteUInt32(const SerializationTag& tag, uint32_t value) override;
    void WriteWideString(const SerializationTag& tag, std::u16string_view value) override;
    void WriteError(const SerializationTag& tag, const Common::Error& value) override;
    void WriteGuid(const SerializationTag& tag, const Common::Guid& value) override;
    void WriteUInt8(const SerializationTag& tag, uint8_t value) override;
    void WriteBool(const SerializationTag& tag, bool value) override;

    std::vector<uint8_t> FinishBytes() override;
    std::string FinishString() override;

    SerializationTag GetCurrentTag() const override;
    void BeginTag(const SerializationTag& tag) override;
    void EndTag(const SerializationTag& tag) override;

    void SetCurrentFormatVersion(uint64_t version) override { currentFormatVersion_ = version; }
    uint64_t GetCurrentFormatVersion() const override { return currentFormatVersion_; }

    /// The format version given at construction.
    uint32_t GetFormatVersion() const { return formatVersion_; }

  private:
    // True when a value or section under `tag` is to be written at all.
    bool Writes(const SerializationTag& tag) const;
    void OpenElement(const SerializationTag& tag);
    void CloseElement();
    // Starts a value element and returns true, or returns false when it is not written.
    bool BeginValue(const SerializationTag& tag);
    void WriteDecimal(const SerializationTag& tag, uint64_t value);
    void WriteDecimal(const SerializationTag& tag, int64_t value);
    // Closes the packet; false, with an assertion, when it was closed before.
    bool Finish();

    const uint32_t formatVersion_;
    const uint32_t sectionFilter_;
    uint64_t currentFormatVersion_ = 0;
    // Open BeginTag calls inside a filtered section, that one included.
    size_t skipDepth_ = 0;
    bool finished_ = false;
    std::vector<SerializationTag> open_;
    std::string text_;
};

}  // namespace Serialization
