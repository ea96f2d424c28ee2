#include "enterprise/common/zaph/blob_reader.h"

#include <algorithm>
#include <bit>
#include <string>

#include "core/common/catalog.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/canonical_blob_reader.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/unit_builder.h"

namespace Zaph::Util {
namespace {

using Detail::LoadLittleEndian;

std::u16string Decimal(size_t value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

// The bytes quoted in the corruption error: see kMaxQuotedBlobBytes.
std::u16string Quote(std::span<const uint8_t> blob, size_t position) {
    static constexpr char16_t kHex[] = u"0123456789abcdef";
    size_t begin = 0;
    size_t end = blob.size();
    if (blob.size() > kMaxQuotedBlobBytes) {
        begin = position > kMaxQuotedBlobBytes / 2 ? position - kMaxQuotedBlobBytes / 2 : 0;
        begin = std::min(begin, blob.size() - kMaxQuotedBlobBytes);
        end = begin + kMaxQuotedBlobBytes;
    }
    std::u16string text;
    if (begin > 0) {
        text += u"...";
    }
    for (size_t i = begin; i < end; ++i) {
        text += kHex[blob[i] >> 4];
        text += kHex[blob[i] & 0xf];
    }
    if (end < blob.size()) {
        text += u"...";
    }
    return text;
}

// Forwards replayed events to a builder; OnUnitBegin carries nothing the builder needs.
class UnitBuildingWalker final : public UnitWalker {
  public:
    explicit UnitBuildingWalker(UnitBuilder& builder) : builder_(builder) {}

    void OnUnitBegin(const View::Unit*) override {}
    void OnUnitEnd(const View::Unit*) override { builder_.End(); }
    void OnProperty(const Name& name) override { builder_.Property(name); }
    void OnTrait(const Name& name) override { builder_.Trait(name); }
    void OnNil() override { builder_.Nil(); }
    void OnValue(const Common::Error& value) override { builder_.Error(value); }
    void OnValue(const String& value) override { builder_.String(value); }
    void OnValue(const Guid& value) override { builder_.Guid(value); }
    void OnValue(const Blob& value) override { builder_.Blob(value); }
    void OnValue(double value) override { builder_.Double(value); }
    void OnValue(int64_t value) override { builder_.SQWord(value); }
    void OnValue(uint64_t value) override { builder_.QWord(value); }
    void OnValue(int32_t value) override { builder_.SDWord(value); }
    void OnValue(uint32_t value) override { builder_.DWord(value); }
    void OnValue(int16_t value) override { builder_.SWord(value); }
    void OnValue(uint16_t value) override { builder_.Word(value); }
    void OnValue(int8_t value) override { builder_.SByte(value); }
    void OnValue(uint8_t value) override { builder_.Byte(value); }
    void OnValue(bool value) override { builder_.Boolean(value); }
    void OnArray() override { builder_.Array(); }
    void OnComposite() override { builder_.Composite(); }

  private:
    UnitBuilder& builder_;
};

}  // namespace

void BlobWalkingRoute::ThrowCorrupted(size_t position) const {
    throw Zaph::Detail::MakeError(COMMON_PLACE("Zaph::Util::BlobWalkingRoute::Follow"),
                                  Errors::kUnitCorrupted, Common::kMsgZaphUnitCorrupted,
                                  {Quote(blob_, position), Decimal(position)});
}

const uint8_t* BlobWalkingRoute::Take(size_t size, size_t item) {
    if (size > blob_.size() - offset_) {
        ThrowCorrupted(item);
    }
    const uint8_t* bytes = blob_.data() + offset_;
    offset_ += size;
    return bytes;
}

uint32_t BlobWalkingRoute::TakeLength(size_t item) {
    return static_cast<uint32_t>(LoadLittleEndian(Take(sizeof(uint32_t), item), 4));
}

String BlobWalkingRoute::TakeString(size_t item) {
    const uint32_t length = TakeLength(item);
    if (length % sizeof(char16_t) != 0) {
        ThrowCorrupted(item);
    }
    String text;
    Detail::LoadUnits(Take(length, item), length / sizeof(char16_t), text);
    return text;
}

Name BlobWalkingRoute::TakeName(size_t item) {
    if (*Take(1, item) != TypeIndex::String) {
        ThrowCorrupted(offset_ - 1);
    }
    return Name(Common::ToUtf8(TakeString(item)));
}

void BlobWalkingRoute::ReplayValue(UnitWalker& walker) {
    const size_t item = offset_;
    const uint8_t type = *Take(1, item);
    switch (type) {
        case TypeIndex::Nil:
            walker.OnNil();
            break;
        case TypeIndex::Boolean:
            walker.OnValue(*Take(1, item) != 0);
            break;
        case TypeIndex::Byte:
            walker.OnValue(static_cast<uint8_t>(*Take(1, item)));
            break;
        case TypeIndex::SByte:
            walker.OnValue(static_cast<int8_t>(*Take(1, item)));
            break;
        case TypeIndex::Word:
            walker.OnValue(static_cast<uint16_t>(LoadLittleEndian(Take(2, item), 2)));
            break;
        case TypeIndex::SWord:
            walker.OnValue(static_cast<int16_t>(LoadLittleEndian(Take(2, item), 2)));
            break;
        case TypeIndex::DWord:
            walker.OnValue(static_cast<uint32_t>(LoadLittleEndian(Take(4, item), 4)));
            break;
        case TypeIndex::SDWord:
            walker.OnValue(static_cast<int32_t>(LoadLittleEndian(Take(4, item), 4)));
            break;
        case TypeIndex::QWord:
            walker.OnValue(LoadLittleEndian(Take(8, item), 8));
            break;
        case TypeIndex::SQWord:
            walker.OnValue(static_cast<int64_t>(LoadLittleEndian(Take(8, item), 8)));
            break;
        case TypeIndex::Double:
            walker.OnValue(std::bit_cast<double>(LoadLittleEndian(Take(8, item), 8)));
            break;
        case TypeIndex::Blob: {
            const uint32_t length = TakeLength(item);
            const uint8_t* bytes = Take(length, item);
            walker.OnValue(Blob(bytes, bytes + length));
            break;
        }
        case TypeIndex::Guid: {
            walker.OnValue(Detail::LoadGuid(Take(16, item)));
            break;
        }
        case TypeIndex::String:
            walker.OnValue(TakeString(item));
            break;
        case TypeIndex::Error: {
            const uint32_t length = TakeLength(item);
            const Common::Error error = Common::Error::Deserialize(Take(length, item), length);
            if (error.Code() == Common::kErrorBytesMalformed) {
                ThrowCorrupted(item);
            }
            walker.OnValue(error);
            break;
        }
        default:
            ThrowCorrupted(item);
    }
}

bool BlobWalkingRoute::Step(UnitWalker& walker) {
    if (offset_ >= blob_.size()) {
        return false;
    }
    const size_t item = offset_;
    switch (blob_[offset_]) {
        case BinaryTag::kUnitBegin:
            ++offset_;
            walker.OnUnitBegin(nullptr);
            break;
        case BinaryTag::kUnitEnd:
            ++offset_;
            walker.OnUnitEnd(nullptr);
            break;
        case BinaryTag::kArray:
            ++offset_;
            walker.OnArray();
            break;
        case BinaryTag::kComposite:
            ++offset_;
            walker.OnUnitBegin(nullptr);
            walker.OnComposite();
            break;
        case BinaryTag::kProperty:
            ++offset_;
            walker.OnProperty(TakeName(item));
            break;
        case BinaryTag::kTrait:
            ++offset_;
            walker.OnTrait(TakeName(item));
            break;
        default:
            ReplayValue(walker);
    }
    return true;
}

void BlobWalkingRoute::Follow(std::span<const uint8_t> blob, UnitWalker& walker) {
    BlobWalkingRoute route(blob);
    walker.OnUnitBegin(nullptr);
    while (route.Step(walker)) {
    }
}

Construction::UnitPtr ReadUnitFromBlob(std::span<const uint8_t> blob,
                                       Construction::UnitFactory& factory) {
    if (Construction::UnitPtr unit = Detail::ReadCanonicalBlob(blob, factory)) {
        return unit;
    }
    BlobWalkingRoute route(blob);
    UnitAccumulator accumulator(factory);
    UnitBuildingWalker walker(accumulator);
    size_t item = 0;
    try {
        for (item = route.Offset(); route.Step(walker); item = route.Offset()) {
            if (accumulator.HasResult() && route.Offset() < blob.size()) {
                route.ThrowCorrupted(route.Offset());
            }
        }
    } catch (const Common::Error& error) {
        if (error.Code() != Errors::kUnitTooDeep) {
            throw;
        }
        route.ThrowCorrupted(item);
    }
    if (!accumulator.HasResult()) {
        route.ThrowCorrupted(blob.size());
    }
    return accumulator.TakeResult();
}

}  // namespace Zaph::Util
