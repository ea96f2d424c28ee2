#include "enterprise/common/zaph/binary_form.h"

#include <algorithm>
#include <bit>
#include <iterator>
#include <limits>

#include "core/common/buffer.h"
#include "core/common/catalog.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/errors.h"

namespace Zaph::Util {
namespace {

// Names up to this length that are plain ASCII are written without conversion.
constexpr size_t kShortName = 64;

bool IsAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

void PutLittleEndian(uint8_t* out, uint64_t value, uint32_t size) {
    for (uint32_t i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

}  // namespace

void BinaryDataProvider::Fixed(uint8_t type, uint64_t value, uint32_t size) {
    uint8_t bytes[1 + sizeof(uint64_t)];
    bytes[0] = type;
    PutLittleEndian(bytes + 1, value, size);
    consumer_.Consume(bytes, 1 + size);
}

void BinaryDataProvider::Header(uint8_t type, size_t length) {
    if (length > std::numeric_limits<uint32_t>::max()) {
        throw Zaph::Detail::MakeError(COMMON_PLACE("Zaph::Util::BinaryDataProvider::OnValue"),
                                      Errors::kGeneral, Common::kMsgZaphInternalError);
    }
    uint8_t bytes[1 + sizeof(uint32_t)];
    bytes[0] = type;
    PutLittleEndian(bytes + 1, length, sizeof(uint32_t));
    consumer_.Consume(bytes, sizeof bytes);
}

void BinaryDataProvider::NameValue(uint8_t tag, const Name& name) {
    const std::string_view text = name.View();
    if (text.size() <= kShortName && IsAscii(text)) {
        uint8_t bytes[2 + sizeof(uint32_t) + 2 * kShortName];
        bytes[0] = tag;
        bytes[1] = TypeIndex::String;
        PutLittleEndian(bytes + 2, 2 * text.size(), sizeof(uint32_t));
        uint8_t* out = bytes + 2 + sizeof(uint32_t);
        for (const char c : text) {
            *out++ = static_cast<uint8_t>(c);
            *out++ = 0;
        }
        consumer_.Consume(bytes, static_cast<uint32_t>(out - bytes));
        return;
    }
    wideName_.clear();
    Common::Utf8ToUtf16(text, wideName_);
    Tag(tag);
    OnValue(wideName_);
}

void BinaryDataProvider::OnProperty(const Name& name) {
    NameValue(BinaryTag::kProperty, name);
}

void BinaryDataProvider::OnTrait(const Name& name) {
    NameValue(BinaryTag::kTrait, name);
}

void BinaryDataProvider::OnNil() {
    Tag(TypeIndex::Nil);
}

void BinaryDataProvider::OnValue(const Common::Error& value) {
    Common::DynamicBuffer bytes;
    if (!value.Serialize(bytes)) {
        throw Common::Error(COMMON_PLACE("Zaph::Util::BinaryDataProvider::OnValue"),
                            Common::kOutOfMemoryError);
    }
    Header(TypeIndex::Error, bytes.Size());
    consumer_.Consume(bytes.Data(), static_cast<uint32_t>(bytes.Size()));
}

void BinaryDataProvider::OnValue(const String& value) {
    Header(TypeIndex::String, value.size() * sizeof(char16_t));
    if constexpr (std::endian::native == std::endian::little) {
        consumer_.Consume(reinterpret_cast<const uint8_t*>(value.data()),
                          static_cast<uint32_t>(value.size() * sizeof(char16_t)));
    } else {
        for (const char16_t unit : value) {
            uint8_t bytes[2];
            PutLittleEndian(bytes, unit, 2);
            consumer_.Consume(bytes, 2);
        }
    }
}

void BinaryDataProvider::OnValue(const Guid& value) {
    uint8_t bytes[1 + 16];
    bytes[0] = TypeIndex::Guid;
    PutLittleEndian(bytes + 1, value.Data1, 4);
    PutLittleEndian(bytes + 5, value.Data2, 2);
    PutLittleEndian(bytes + 7, value.Data3, 2);
    std::copy(std::begin(value.Data4), std::end(value.Data4), bytes + 9);
    consumer_.Consume(bytes, sizeof bytes);
}

void BinaryDataProvider::OnValue(const Blob& value) {
    Header(TypeIndex::Blob, value.size());
    consumer_.Consume(value.data(), static_cast<uint32_t>(value.size()));
}

void BinaryDataProvider::OnValue(double value) {
    Fixed(TypeIndex::Double, std::bit_cast<uint64_t>(value), 8);
}
void BinaryDataProvider::OnValue(int64_t value) {
    Fixed(TypeIndex::SQWord, static_cast<uint64_t>(value), 8);
}
void BinaryDataProvider::OnValue(uint64_t value) {
    Fixed(TypeIndex::QWord, value, 8);
}
void BinaryDataProvider::OnValue(int32_t value) {
    Fixed(TypeIndex::SDWord, static_cast<uint32_t>(value), 4);
}
void BinaryDataProvider::OnValue(uint32_t value) {
    Fixed(TypeIndex::DWord, value, 4);
}
void BinaryDataProvider::OnValue(int16_t value) {
    Fixed(TypeIndex::SWord, static_cast<uint16_t>(value), 2);
}
void BinaryDataProvider::OnValue(uint16_t value) {
    Fixed(TypeIndex::Word, value, 2);
}
void BinaryDataProvider::OnValue(int8_t value) {
    Fixed(TypeIndex::SByte, static_cast<uint8_t>(value), 1);
}
void BinaryDataProvider::OnValue(uint8_t value) {
    Fixed(TypeIndex::Byte, value, 1);
}
void BinaryDataProvider::OnValue(bool value) {
    Fixed(TypeIndex::Boolean, value ? 1 : 0, 1);
}

void WriteUnitToBlob(const View::Unit& unit, Blob& blob) {
    const size_t start = blob.size();
    BlobWriter writer(blob);
    BinaryDataProvider provider(writer);
    WalkValueFirstGuide guide;
    try {
        WalkUnit(unit, guide, provider);
    } catch (...) {
        blob.resize(start);  // no partial form stays behind
        throw;
    }
}

}  // namespace Zaph::Util
