#include "enterprise/serialize/xml_packet_serializer.h"

#include <charconv>

#include "core/common/assert.h"
#include "core/common/base64.h"
#include "core/common/buffer.h"
#include "enterprise/serialize/xml_escape.h"

namespace Serialization {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

template <class Integer>
void AppendDecimal(Integer value, std::string& out) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void AppendTraits(const MetaInfo& traits, std::string& out) {
    if (!traits) {
        return;
    }
    for (const MetaInfoTrait& trait : *traits) {
        out += "<trait name=\"";
        Detail::AppendEscaped(trait.name, Detail::TextPlace::Attribute, out);
        out += "\" type=\"";
        Detail::AppendEscaped(trait.type, Detail::TextPlace::Attribute, out);
        out += "\">";
        Detail::AppendEscaped(trait.value, Detail::TextPlace::Content, out);
        out += "</trait>";
    }
}

}  // namespace

XMLPacketSerializer::XMLPacketSerializer(uint32_t formatVersion, uint32_t sectionFilter)
    : formatVersion_(formatVersion), sectionFilter_(sectionFilter) {
    text_ = kByteOrderMark;
    text_ += '<';
    text_ += kPacketRootName;
    text_ += '>';
}

bool XMLPacketSerializer::Writes(const SerializationTag& tag) const {
    COMMON_ASSERT_TEXT(!finished_, "!\"XMLPacketSerializer: write after finish\"");
    const bool filtered =
        sectionFilter_ != 0 && tag.sectionVersion != 0 && tag.sectionVersion != sectionFilter_;
    return !finished_ && skipDepth_ == 0 && !filtered && !tag.name.empty();
}

void XMLPacketSerializer::OpenElement(const SerializationTag& tag) {
    open_.push_back(tag);
    text_ += '<';
    text_ += tag.name;
    if (tag.version != 0) {
        const bool selected = sectionFilter_ != 0 && tag.sectionVersion == sectionFilter_;
        text_ += " version=\"";
        AppendDecimal(selected ? tag.writtenVersion : tag.version, text_);
        text_ += '"';
    }
    text_ += '>';
}

void XMLPacketSerializer::CloseElement() {
    const SerializationTag& tag = open_.back();
    if (tag.traits || tag.moreTraits) {
        text_ += "<traits>";
        AppendTraits(tag.traits, text_);
        AppendTraits(tag.moreTraits, text_);
        text_ += "</traits>";
    }
    text_ += "</";
    text_ += tag.name;
    text_ += '>';
    open_.pop_back();
}

void XMLPacketSerializer::BeginTag(const SerializationTag& tag) {
    if (tag.name.empty()) {
        return;
    }
    if (Writes(tag)) {
        OpenElement(tag);
    } else if (!finished_) {
        ++skipDepth_;
    }
}

void XMLPacketSerializer::EndTag(const SerializationTag& tag) {
    if (tag.name.empty() || finished_) {
        return;
    }
    if (skipDepth_ > 0) {
        --skipDepth_;
        return;
    }
    COMMON_ASSERT_TEXT(!open_.empty() && open_.back().name == tag.name,
                       "!\"XMLPacketSerializer: EndTag does not match BeginTag\"");
    if (!open_.empty()) {
        CloseElement();
    }
}

SerializationTag XMLPacketSerializer::GetCurrentTag() const {
    return open_.empty() ? SerializationTag() : open_.back();
}

bool XMLPacketSerializer::BeginValue(const SerializationTag& tag) {
    if (!Writes(tag)) {
        return false;
    }
    OpenElement(tag);
    return true;
}

void XMLPacketSerializer::WriteDecimal(const SerializationTag& tag, uint64_t value) {
    if (BeginValue(tag)) {
        AppendDecimal(value, text_);
        CloseElement();
    }
}

void XMLPacketSerializer::WriteDecimal(const SerializationTag& tag, int64_t value) {
    if (BeginValue(tag)) {
        AppendDecimal(value, text_);
        CloseElement();
    }
}

void XMLPacketSerializer::WriteBlob(const SerializationTag& tag, const void* data, size_t length) {
    if (BeginValue(tag)) {
        Common::Base64Encode(data, length, text_);
        CloseElement();
    }
}

void XMLPacketSerializer::WriteBytes(const SerializationTag& tag,
                                     const std::vector<uint8_t>& value) {
    WriteBlob(tag, value.data(), value.size());
}

void XMLPacketSerializer::WriteUInt16(const SerializationTag& tag, uint16_t value) {
    WriteDecimal(tag, uint64_t{value});
}

void XMLPacketSerializer::WriteInt16(const SerializationTag& tag, int16_t value) {
    WriteDecimal(tag, int64_t{value});
}

void XMLPacketSerializer::WriteString(const SerializationTag& tag, std::string_view value) {
    if (BeginValue(tag)) {
        Detail::AppendEscaped(value, Detail::TextPlace::Content, text_);
        CloseElement();
    }
}

void XMLPacketSerializer::WriteInt64(const SerializationTag& tag, int64_t value) {
    WriteDecimal(tag, value);
}

void XMLPacketSerializer::WriteInt32(const SerializationTag& tag, int32_t value) {
    WriteDecimal(tag, int64_t{value});
}

void XMLPacketSerializer::WriteUInt64(const SerializationTag& tag, uint64_t value) {
    WriteDecimal(tag, value);
}

void XMLPacketSerializer::WriteDouble(const SerializationTag& tag, double value) {
    if (BeginValue(tag)) {
        // Precision 6 in the general format: the text of printf's "%g", in the C locale.
        char digits[32];
        const auto end =
            std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 6).ptr;
        text_.append(digits, end);
        CloseElement();
    }
}

void XMLPacketSerializer::WriteUInt32(const SerializationTag& tag, uint32_t value) {
    WriteDecimal(tag, uint64_t{value});
}

void XMLPacketSerializer::WriteWideString(const SerializationTag& tag, std::u16string_view value) {
    if (BeginValue(tag)) {
        Detail::AppendEscaped(value, Detail::TextPlace::Content, text_);
        CloseElement();
    }
}

void XMLPacketSerializer::WriteError(const SerializationTag& tag, const Common::Error& value) {
    if (!Writes(tag)) {
        return;
    }
    Common::DynamicBuffer bytes;
    if (!value.Serialize(bytes)) {
        throw Common::Error(COMMON_PLACE("Serialization::XMLPacketSerializer::WriteError"),
                            Common::kOutOfMemoryError);
    }
    WriteBlob(tag, bytes.Data(), bytes.Size());
}

void XMLPacketSerializer::WriteGuid(const SerializationTag& tag, const Common::Guid& value) {
    if (BeginValue(tag)) {
        text_ += Common::GuidToString(value);
        CloseElement();
    }
}

void XMLPacketSerializer::WriteUInt8(const SerializationTag& tag, uint8_t value) {
    WriteDecimal(tag, uint64_t{value});
}

void XMLPacketSerializer::WriteBool(const SerializationTag& tag, bool value) {
    WriteDecimal(tag, uint64_t{value ? 1u : 0u});
}

bool XMLPacketSerializer::Finish() {
    COMMON_ASSERT_TEXT(!finished_, "!\"XMLPacketSerializer: packet finished twice\"");
    if (finished_) {
        return false;
    }
    COMMON_ASSERT_TEXT(open_.empty() && skipDepth_ == 0,
                       "!\"XMLPacketSerializer: tags left open at finish\"");
    while (!open_.empty()) {
        CloseElement();
    }
    text_ += "</";
    text_ += kPacketRootName;
    text_ += '>';
    finished_ = true;
    return true;
}

std::vector<uint8_t> XMLPacketSerializer::FinishBytes() {
    if (!Finish()) {
        return {};
    }
    std::vector<uint8_t> bytes(text_.begin(), text_.end());
    text_ = std::string();
    return bytes;
}

std::string XMLPacketSerializer::FinishString() {
    // The packet is handed out once, so it moves rather than being copied.
    return Finish() ? std::move(text_) : std::string();
}

}  // namespace Serialization
