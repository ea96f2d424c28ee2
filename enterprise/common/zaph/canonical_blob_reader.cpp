#include "enterprise/common/zaph/canonical_blob_reader.h"

#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "core/common/text.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/container_access.h"
#include "enterprise/common/zaph/holders.h"

namespace Zaph::Util::Detail {
namespace {

// A name read before, under the bytes of its String value.
struct NameCacheEntry {
    std::string bytes;
    Name name;
};

constexpr size_t kNameCacheSlots = 64;

std::array<NameCacheEntry, kNameCacheSlots>& NameCache() {
    thread_local std::array<NameCacheEntry, kNameCacheSlots> cache;
    return cache;
}

// The cache slot of a name of `units` UTF-16 units at `bytes`: from its length and its first,
// middle and last units.
size_t CacheSlot(const uint8_t* bytes, size_t units) {
    if (units == 0) {
        return 0;
    }
    const size_t mix =
        units * 31 + bytes[0] * 7 + bytes[units & ~size_t{1}] * 13 + bytes[2 * (units - 1)] * 17;
    return mix % kNameCacheSlots;
}

class CanonicalReader {
  public:
    CanonicalReader(std::span<const uint8_t> blob, Construction::UnitFactory& factory)
        : blob_(blob), factory_(factory) {}

    Construction::UnitPtr ReadAll() {
        Construction::UnitPtr unit = ReadUnit(0);
        return offset_ == blob_.size() ? std::move(unit) : nullptr;
    }

  private:
    // The next `size` bytes, or null when the blob ends before them.
    const uint8_t* Take(size_t size) {
        if (size > blob_.size() - offset_) {
            return nullptr;
        }
        const uint8_t* bytes = blob_.data() + offset_;
        offset_ += size;
        return bytes;
    }

    // Takes the next byte when it is `tag`.
    bool TakeTag(uint8_t tag) {
        if (offset_ < blob_.size() && blob_[offset_] == tag) {
            ++offset_;
            return true;
        }
        return false;
    }

    // The UTF-16 units of a string's length and units, or null.
    const uint8_t* TakeUnits(size_t& units) {
        const uint8_t* length = Take(sizeof(uint32_t));
        if (length == nullptr) {
            return nullptr;
        }
        const auto bytes = static_cast<uint32_t>(LoadLittleEndian(length, 4));
        units = bytes / sizeof(char16_t);
        return bytes % sizeof(char16_t) == 0 ? Take(bytes) : nullptr;
    }

    bool TakeString(String& text) {
        size_t units = 0;
        const uint8_t* bytes = TakeUnits(units);
        if (bytes != nullptr) {
            LoadUnits(bytes, units, text);
        }
        return bytes != nullptr;
    }

    // A name: a String value, UTF-16 of the UTF-8 name.
    bool TakeName(Name& name) {
        size_t units = 0;
        const uint8_t* bytes = TakeTag(TypeIndex::String) ? TakeUnits(units) : nullptr;
        if (bytes == nullptr) {
            return false;
        }
        // The few names of a store come back object after object: a small cache per thread
        // gives a name read before without converting it again.
        NameCacheEntry& cached = NameCache()[CacheSlot(bytes, units)];
        const size_t size = units * sizeof(char16_t);
        if (cached.bytes.size() == size && std::memcmp(cached.bytes.data(), bytes, size) == 0) {
            name = cached.name;
            return true;
        }
        // Names are ASCII almost always: then the UTF-8 name is the units' low bytes.
        narrow_.resize(units);
        bool ascii = true;
        for (size_t i = 0; i < units; ++i) {
            ascii &= bytes[2 * i + 1] == 0 && bytes[2 * i] < 0x80;
            narrow_[i] = static_cast<char>(bytes[2 * i]);
        }
        if (!ascii) {
            // As the general reader: a unit that does not convert is replaced.
            LoadUnits(bytes, units, text_);
            narrow_.clear();
            Common::Utf16ToUtf8(text_, narrow_);
        }
        name = Name(std::string_view(narrow_));
        cached.bytes.assign(reinterpret_cast<const char*>(bytes), size);
        cached.name = name;
        return true;
    }

    Construction::UnitPtr ReadUnit(size_t depth) {
        if (depth >= kMaxCanonicalDepth || !TakeTag(BinaryTag::kUnitBegin)) {
            return nullptr;
        }
        Construction::UnitPtr unit = ReadValue(depth);
        if (unit == nullptr) {
            return nullptr;
        }
        Name name;
        while (TakeTag(BinaryTag::kTrait)) {
            if (!TakeName(name)) {
                return nullptr;
            }
            Construction::UnitPtr value = ReadUnit(depth + 1);
            if (value == nullptr) {
                return nullptr;
            }
            unit->GetTraits().Add(factory_.CreateTrait(name, std::move(value)));
        }
        return TakeTag(BinaryTag::kUnitEnd) ? std::move(unit) : nullptr;
    }

    Construction::UnitPtr ReadComposite(size_t depth) {
        Construction::UnitPtr unit = factory_.CreateComposite();
        std::vector<Construction::PropertyPtr> properties;
        // The batch becomes the composite's own vector: room for a few at once rather than
        // growing one by one.
        properties.reserve(4);
        Name name;
        while (TakeTag(BinaryTag::kProperty)) {
            if (!TakeName(name) ||
                (!properties.empty() && properties.back()->GetName().Compare(name) >= 0)) {
                return nullptr;
            }
            Construction::UnitPtr value = ReadUnit(depth + 1);
            if (value == nullptr) {
                return nullptr;
            }
            properties.push_back(factory_.CreateProperty(name, std::move(value)));
        }
        Construction::CompositeValue& composite = *CompositeOf(*unit);
        if (CompositeValueHolder* holder = CompositeValueHolder::From(composite)) {
            holder->SetSorted(properties);
        } else {
            for (Construction::PropertyPtr& property : properties) {
                composite.Set(std::move(property));
            }
        }
        return unit;
    }

    Construction::UnitPtr ReadArray(size_t depth) {
        Construction::UnitPtr unit = factory_.CreateArray();
        Construction::ArrayValue& array = *ArrayOf(*unit);
        while (offset_ < blob_.size() && blob_[offset_] == BinaryTag::kUnitBegin) {
            Construction::UnitPtr element = ReadUnit(depth + 1);
            if (element == nullptr) {
                return nullptr;
            }
            array.PushBack(std::move(element));
        }
        return unit;
    }

    // A value of `size` bytes made by `make`, or null when the blob ends before them.
    template <class Make>
    Construction::UnitPtr Fixed(size_t size, Make&& make) {
        const uint8_t* bytes = Take(size);
        return bytes != nullptr ? make(LoadLittleEndian(bytes, size)) : nullptr;
    }

    Construction::UnitPtr ReadValue(size_t depth) {
        if (offset_ >= blob_.size()) {
            return nullptr;
        }
        Construction::UnitFactory& f = factory_;
        switch (blob_[offset_++]) {
            case BinaryTag::kComposite:
                return ReadComposite(depth);
            case BinaryTag::kArray:
                return ReadArray(depth);
            case TypeIndex::Nil:
                return f.CreateNil();
            case TypeIndex::Boolean:
                return Fixed(1, [&f](uint64_t v) { return f.CreateBoolean(v != 0); });
            case TypeIndex::Byte:
                return Fixed(1, [&f](uint64_t v) { return f.CreateByte(static_cast<uint8_t>(v)); });
            case TypeIndex::SByte:
                return Fixed(1, [&f](uint64_t v) { return f.CreateSByte(static_cast<int8_t>(v)); });
            case TypeIndex::Word:
                return Fixed(2,
                             [&f](uint64_t v) { return f.CreateWord(static_cast<uint16_t>(v)); });
            case TypeIndex::SWord:
                return Fixed(2,
                             [&f](uint64_t v) { return f.CreateSWord(static_cast<int16_t>(v)); });
            case TypeIndex::DWord:
                return Fixed(4,
                             [&f](uint64_t v) { return f.CreateDWord(static_cast<uint32_t>(v)); });
            case TypeIndex::SDWord:
                return Fixed(4,
                             [&f](uint64_t v) { return f.CreateSDWord(static_cast<int32_t>(v)); });
            case TypeIndex::QWord:
                return Fixed(8, [&f](uint64_t v) { return f.CreateQWord(v); });
            case TypeIndex::SQWord:
                return Fixed(8,
                             [&f](uint64_t v) { return f.CreateSQWord(static_cast<int64_t>(v)); });
            case TypeIndex::Double:
                return Fixed(8,
                             [&f](uint64_t v) { return f.CreateDouble(std::bit_cast<double>(v)); });
            case TypeIndex::Guid: {
                const uint8_t* bytes = Take(16);
                return bytes != nullptr ? f.CreateGuid(LoadGuid(bytes)) : nullptr;
            }
            case TypeIndex::String:
                return TakeString(text_) ? f.CreateString(text_) : nullptr;
            case TypeIndex::Blob:
            case TypeIndex::Error: {
                const uint8_t type = blob_[offset_ - 1];
                const uint8_t* length = Take(sizeof(uint32_t));
                const size_t size = length != nullptr ? LoadLittleEndian(length, 4) : 0;
                const uint8_t* bytes = length != nullptr ? Take(size) : nullptr;
                if (bytes == nullptr) {
                    return nullptr;
                }
                if (type == TypeIndex::Blob) {
                    return f.CreateBlob(Zaph::Blob(bytes, bytes + size));
                }
                const Common::Error error = Common::Error::Deserialize(bytes, size);
                return error.Code() != Common::kErrorBytesMalformed ? f.CreateError(error)
                                                                    : nullptr;
            }
            default:
                return nullptr;
        }
    }

    const std::span<const uint8_t> blob_;
    Construction::UnitFactory& factory_;
    size_t offset_ = 0;
    // Reused for every string and name read.
    String text_;
    std::string narrow_;
};

}  // namespace

Guid LoadGuid(const uint8_t* bytes) {
    Guid guid;
    guid.Data1 = static_cast<uint32_t>(LoadLittleEndian(bytes, 4));
    guid.Data2 = static_cast<uint16_t>(LoadLittleEndian(bytes + 4, 2));
    guid.Data3 = static_cast<uint16_t>(LoadLittleEndian(bytes + 6, 2));
    std::memcpy(guid.Data4, bytes + 8, sizeof guid.Data4);
    return guid;
}

void LoadUnits(const uint8_t* bytes, size_t units, String& text) {
    text.resize(units);
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(text.data(), bytes, units * sizeof(char16_t));
    } else {
        for (size_t i = 0; i < units; ++i) {
            text[i] = static_cast<char16_t>(LoadLittleEndian(bytes + 2 * i, 2));
        }
    }
}

Construction::UnitPtr ReadCanonicalBlob(std::span<const uint8_t> blob,
                                        Construction::UnitFactory& factory) {
    return CanonicalReader(blob, factory).ReadAll();
}

}  // namespace Zaph::Util::Detail
