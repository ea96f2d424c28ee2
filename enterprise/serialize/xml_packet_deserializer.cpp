#include "enterprise/serialize/xml_packet_deserializer.h"

#include <charconv>
#include <limits>
#include <type_traits>

#include "core/common/assert.h"
#include "core/common/base64.h"
#include "core/common/catalog.h"
#include "core/common/text.h"

namespace Serialization {

struct XMLPacketDeserializer::Frame {
    const Xml::Element* element;
    // The next child to take.
    size_t cursor;
    uint64_t version;
    // The first child of each name, built on the first lookup by name.
    std::unique_ptr<std::unordered_map<std::string_view, size_t>> firstByName;
};

namespace {

Common::Error Inconsistent(const Common::SourceLocation& place) {
    return Common::Error(place, kPacketInconsistent,
                         Common::GetCatalogMessage(Common::kMsgPacketInconsistentMetadata));
}

Xml::Document ParsePacket(std::string_view packet) {
    Xml::ReadLimits limits;
    limits.maxBytes = kMaxPacketBytes;
    limits.maxDepth = kMaxPacketDepth;
    try {
        return Xml::Document::Parse(packet, limits);
    } catch (const Common::Error& reason) {
        throw Inconsistent(
            COMMON_PLACE("Serialization::XMLPacketDeserializer::XMLPacketDeserializer"))
            .Add(reason);
    }
}

bool IsXmlSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

std::u16string_view TrimXmlSpace(std::u16string_view text) {
    while (!text.empty() && IsXmlSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsXmlSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Reads a decimal integer (optional sign, at least one digit, surrounding XML whitespace) and
// truncates it to `Integer`. The magnitude must fit 64 bits, and a signed number int64_t.
template <class Integer>
bool ParseInteger(std::u16string_view text, Integer& value) {
    text = TrimXmlSpace(text);
    bool negative = false;
    if (!text.empty() && (text.front() == u'-' || text.front() == u'+')) {
        negative = text.front() == u'-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return false;
    }
    uint64_t magnitude = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') {
            return false;
        }
        const uint64_t digit = c - u'0';
        if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
            return false;
        }
        magnitude = magnitude * 10 + digit;
    }
    uint64_t bits = negative ? 0 - magnitude : magnitude;
    if constexpr (std::is_signed_v<Integer>) {
        const uint64_t limit = uint64_t{std::numeric_limits<int64_t>::max()} + (negative ? 1 : 0);
        if (magnitude > limit) {
            return false;
        }
    }
    value = static_cast<Integer>(bits);
    return true;
}

// Reads a double as scanf's "%lf" does, without trailing text; a value beyond the range of
// double fails.
bool ParseDouble(std::u16string_view text, double& value) {
    text = TrimXmlSpace(text);
    std::string ascii;
    ascii.reserve(text.size());
    for (char16_t c : text) {
        if (c > 0x7F) {
            return false;
        }
        ascii += static_cast<char>(c);
    }
    const char* begin = ascii.data();
    const char* end = begin + ascii.size();
    if (begin != end && *begin == '+') {
        ++begin;
        if (begin != end && *begin == '-') {
            return false;
        }
    }
    double parsed = 0;
    const auto [stop, error] = std::from_chars(begin, end, parsed);
    if (error != std::errc() || stop != end) {
        return false;
    }
    value = parsed;
    return true;
}

}  // namespace

XMLPacketDeserializer::XMLPacketDeserializer(std::string_view packet, uint64_t metaInfoVersion)
    : document_(ParsePacket(packet)) {
    frames_.push_back(Frame{&document_.Root(), 0, metaInfoVersion, nullptr});
}

XMLPacketDeserializer::XMLPacketDeserializer(const std::vector<uint8_t>& packet,
                                             uint64_t metaInfoVersion)
    : XMLPacketDeserializer(
          std::string_view(reinterpret_cast<const char*>(packet.data()), packet.size()),
          metaInfoVersion) {}

XMLPacketDeserializer::~XMLPacketDeserializer() = default;

void XMLPacketDeserializer::Child(const SerializationTag& tag) {
    Frame& frame = frames_.back();
    const auto& children = frame.element->children;
    const Xml::Element* found = nullptr;
    if (frame.cursor < children.size() &&
        (tag.ordered || children[frame.cursor]->name == tag.name)) {
        found = children[frame.cursor].get();
    } else if (!tag.ordered) {
        if (!frame.firstByName) {
            frame.firstByName = std::make_unique<std::unordered_map<std::string_view, size_t>>();
            frame.firstByName->reserve(children.size());
            for (size_t i = 0; i < children.size(); ++i) {
                frame.firstByName->emplace(children[i]->name, i);
            }
        }
        const auto first = frame.firstByName->find(tag.name);
        if (first != frame.firstByName->end()) {
            found = children[first->second].get();
        }
    }
    if (found == nullptr) {
        throw Inconsistent(COMMON_PLACE("Serialization::XMLPacketDeserializer::Child"));
    }
    ++frame.cursor;
    const uint64_t version = UpdateMetainfoVersion(*found);
    frames_.push_back(Frame{found, 0, version, nullptr});
}

uint64_t XMLPacketDeserializer::UpdateMetainfoVersion(const Xml::Element& element) const {
    const std::u16string* attribute = element.FindAttribute("version");
    if (attribute == nullptr) {
        return frames_.back().version;
    }
    uint64_t version = 0;
    if (!ParseInteger(*attribute, version)) {
        throw Inconsistent(
            COMMON_PLACE("Serialization::XMLPacketDeserializer::UpdateMetainfoVersion"));
    }
    return version;
}

void XMLPacketDeserializer::FinishReadMetaInfo(const SerializationTag& tag) {
    if (frames_.back().element->name != tag.name) {
        COMMON_ASSERT_TEXT(false, "!\"XMLPacketDeserializer: Inconsistent meta.\"");
        throw Inconsistent(
            COMMON_PLACE("Serialization::XMLPacketDeserializer::FinishReadMetaInfo"));
    }
    if (frames_.size() < 2) {
        COMMON_ASSERT_TEXT(false, "!\"XMLPacketDeserializer: Stack is empty somehow.\"");
        throw Inconsistent(
            COMMON_PLACE("Serialization::XMLPacketDeserializer::FinishReadMetaInfo"));
    }
    frames_.pop_back();
}

void XMLPacketDeserializer::BeginTag(const SerializationTag& tag) {
    if (!tag.name.empty()) {
        Child(tag);
    }
}

void XMLPacketDeserializer::EndTag(const SerializationTag& tag) {
    if (!tag.name.empty()) {
        FinishReadMetaInfo(tag);
    }
}

bool XMLPacketDeserializer::NextElementIs(std::string_view name) const {
    const Frame& frame = frames_.back();
    const auto& children = frame.element->children;
    return frame.cursor < children.size() && children[frame.cursor]->name == name;
}

uint64_t XMLPacketDeserializer::GetSubjectVersion() const {
    return frames_.back().version;
}

const std::u16string* XMLPacketDeserializer::Read(const SerializationTag& tag) {
    if (tag.name.empty()) {
        return nullptr;
    }
    Child(tag);
    const std::u16string* text = &frames_.back().element->text;
    frames_.pop_back();
    return text;
}

template <class Integer>
void XMLPacketDeserializer::ReadInteger(const SerializationTag& tag, Integer& value) {
    if (const std::u16string* text = Read(tag)) {
        if (!ParseInteger(*text, value)) {
            throw Inconsistent(COMMON_PLACE("Serialization::XMLPacketDeserializer::Read"));
        }
    }
}

void XMLPacketDeserializer::ReadBytes(const SerializationTag& tag, std::vector<uint8_t>& value) {
    if (const std::u16string* text = Read(tag)) {
        std::vector<uint8_t> bytes;
        if (!Common::Base64Decode(*text, bytes)) {
            throw Inconsistent(COMMON_PLACE("Serialization::XMLPacketDeserializer::Read"));
        }
        value = std::move(bytes);
    }
}

void XMLPacketDeserializer::ReadUInt16(const SerializationTag& tag, uint16_t& value) {
    ReadInteger(tag, value);
}

void XMLPacketDeserializer::ReadInt16(const SerializationTag& tag, int16_t& value) {
    ReadInteger(tag, value);
}

void XMLPacketDeserializer::ReadString(const SerializationTag& tag, std::string& value) {
    if (const std::u16string* text = Read(tag)) {
        value = Common::NarrowLowBytes(*text);
    }
}

void XMLPacketDeserializer::ReadInt64(const SerializationTag& tag, int64_t& value) {
    ReadInteger(tag, value);
}

void XMLPacketDeserializer::ReadInt32(const SerializationTag& tag, int32_t& value) {
    ReadInteger(tag, value);
}

void XMLPacketDeserializer::ReadUInt64(const SerializationTag& tag, uint64_t& value) {
    ReadInteger(tag, value);
}

void XMLPacketDeserializer::ReadDouble(const SerializationTag& tag, double& value) {
    if (const std::u16string* text = Read(tag)) {
        if (!ParseDouble(*text, value)) {
            throw Inconsistent(COMMON_PLACE("Serialization::XMLPacketDeserializer::Read"));
        }
    }
}

void XMLPacketDeserializer::ReadUInt32(const SerializationTag& tag, uint32_t& value) {
    ReadInteger(tag, value);
}

void XMLPacketDeserializer::ReadWideString(const SerializationTag& tag, std::u16string& value) {
    if (const std::u16string* text = Read(tag)) {
        value = *text;
    }
}

void XMLPacketDeserializer::ReadError(const SerializationTag& tag, Common::Error& value) {
    if (const std::u16string* text = Read(tag)) {
        std::vector<uint8_t> bytes;
        if (!Common::Base64Decode(*text, bytes)) {
            throw Inconsistent(COMMON_PLACE("Serialization::XMLPacketDeserializer::Read"));
        }
        if (bytes.empty()) {
            throw Common::Error(COMMON_PLACE("Serialization::XMLPacketDeserializer::Read"),
                                kPacketNoData, "SERIALIZER_ERROR_NO_DATA");
        }
        value = Common::Error::Deserialize(bytes.data(), bytes.size());
    }
}

void XMLPacketDeserializer::ReadGuid(const SerializationTag& tag, Common::Guid& value) {
    if (const std::u16string* text = Read(tag)) {
        if (!Common::GuidFromString(text->c_str(), value)) {
            throw Inconsistent(COMMON_PLACE("Serialization::XMLPacketDeserializer::Read"));
        }
    }
}

void XMLPacketDeserializer::ReadUInt8(const SerializationTag& tag, uint8_t& value) {
    ReadInteger(tag, value);
}

void XMLPacketDeserializer::ReadBool(const SerializationTag& tag, bool& value) {
    uint8_t number = value ? 1 : 0;
    ReadInteger(tag, number);
    value = number != 0;
}

}  // namespace Serialization
