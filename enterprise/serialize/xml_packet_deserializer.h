// XMLPacketDeserializer: the packet reader (the packet form is in xml_packet_serializer.h).
//
// The constructor parses the whole packet with the core XML reader (entity and numeric
// references decoded, CDATA line ends read as "\n", xml:space="preserve" honoured). Packets come
// from peers, so the reader is bounded: at most kMaxPacketBytes of text and kMaxPacketDepth
// nested elements; past a bound, as for text that does not parse, the constructor throws
// kPacketInconsistent whose reason is the XML reader's error.
//
// The reader keeps a stack of open elements, each with a cursor over its children and a
// meta-info version, starting with the root element, the cursor at its first child and the
// version given to the constructor. BeginTag (and every value read) finds the element for the
// tag among the children of the innermost open element:
// - an ordered tag takes the child at the cursor, whatever its name;
// - any other tag takes the child at the cursor when it has the tag's name, and otherwise the
//   first child with that name (looked up in an index built once per element, so reading in any
//   order stays linear);
// taking a child advances the cursor by one. When there is no such child the cursor stays and
// kPacketInconsistent is thrown. The found element is opened with its "version" attribute (an
// unsigned decimal number) as meta-info version, or else the version of its parent. EndTag closes
// the innermost open element, which must be the tag's element and not the root; otherwise it
// fails an assertion and throws kPacketInconsistent. A tag with an empty name reads nothing.
//
// Value texts: integers are decimal with an optional sign and surrounding XML whitespace,
// truncated to the type's width (a negative text read as unsigned wraps, as strtoull does); a
// boolean is an integer truncated to 8 bits, non-zero meaning true; doubles as scanf's "%lf"
// reads them ("nan" and "inf" included); GUIDs in the text form; blobs in base64 (blanks and line
// breaks skipped); errors in base64 of their byte form, where no bytes at all is
// kPacketNoData. Narrow texts keep the low byte of each character. Any other text - an empty or
// partly numeric text, a character outside ASCII in a number, a number beyond 64 bits, invalid
// base64 or GUID text - throws kPacketInconsistent.
//
// Thread-safety: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/xml/document.h"
#include "enterprise/serialize/serializer.h"

namespace Serialization {

/// The packet is not what the reader expects: a missing element, a malformed value, a
/// mismatched end tag, or text that is not a packet at all.
inline constexpr uint32_t kPacketInconsistent = 0x9C0002;
/// An error element holds no bytes.
inline constexpr uint32_t kPacketNoData = 0x9C0004;

/// The largest packet text the reader accepts, in bytes.
inline constexpr size_t kMaxPacketBytes = 64u << 20;
/// The deepest element nesting the reader accepts, the root included.
inline constexpr size_t kMaxPacketDepth = 256;

class XMLPacketDeserializer final : public Deserializer {
  public:
    /// Parses `packet`; `metaInfoVersion` is the version of the root element.
    XMLPacketDeserializer(std::string_view packet, uint64_t metaInfoVersion);
    XMLPacketDeserializer(const std::vector<uint8_t>& packet, uint64_t metaInfoVersion);
    ~XMLPacketDeserializer() override;

    void ReadBytes(const SerializationTag& tag, std::vector<uint8_t>& value) override;
    void ReadUInt16(const SerializationTag& tag, uint16_t& value) override;
    void ReadInt16(const SerializationTag& tag, int16_t& value) override;
    void ReadString(const SerializationTag& tag, std::string& value) override;
    void ReadInt64(const SerializationTag& tag, int64_t& value) override;
    void ReadInt32(const SerializationTag& tag, int32_t& value) override;
    void ReadUInt64(const SerializationTag& tag, uint64_t& value) override;
    void ReadDouble(const SerializationTag& tag, double& value) override;
    void ReadUInt32(const SerializationTag& tag, uint32_t& value) override;
    void ReadWideString(const SerializationTag& tag, std::u16string& value) override;
    void ReadError(const SerializationTag& tag, Common::Error& value) override;
    void ReadGuid(const SerializationTag& tag, Common::Guid& value) override;
    void ReadUInt8(const SerializationTag& tag, uint8_t& value) override;
    void ReadBool(const SerializationTag& tag, bool& value) override;

    void BeginTag(const SerializationTag& tag) override;
    void EndTag(const SerializationTag& tag) override;
    bool NextElementIs(std::string_view name) const override;

    /// The meta-info version of the innermost open element.
    uint64_t GetSubjectVersion() const;

  private:
    struct Frame;

    // Opens the child element for `tag`; throws when there is none.
    void Child(const SerializationTag& tag);
    // Closes the innermost element, which must be the one `tag` names.
    void FinishReadMetaInfo(const SerializationTag& tag);
    // The version of a newly opened `element`: its attribute, or its parent's.
    uint64_t UpdateMetainfoVersion(const Xml::Element& element) const;
    // The text of the value element for `tag` (opened and closed again), or null, reading
    // nothing, for a tag with an empty name.
    const std::u16string* Read(const SerializationTag& tag);
    template <class Integer>
    void ReadInteger(const SerializationTag& tag, Integer& value);

    Xml::Document document_;
    std::vector<Frame> frames_;
};

}  // namespace Serialization
