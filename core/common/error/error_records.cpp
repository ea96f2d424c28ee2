// The record kinds: plain, narrow message, wide message, system code, extra fields and packed.

#include <atomic>
#include <cstring>
#include <new>

#include "core/common/catalog.h"
#include "core/common/error/error_record.h"
#include "core/common/text.h"

namespace Common::Detail {
namespace {

thread_local int allocationsBeforeFailure = -1;

// Payload offsets shared by the kinds that carry a message.
constexpr size_t kMessageRefOffset = kRecordHeaderSize;       // 64
constexpr size_t kMessageTextOffset = kRecordHeaderSize + 8;  // 72
// Extra-field kinds: the kind descriptor, then one word per field.
constexpr size_t kFieldKindOffset = kRecordHeaderSize + 8;     // 72
constexpr size_t kFieldValuesOffset = kRecordHeaderSize + 16;  // 80
// Packed kind: names-list offset, then one u32 offset per field.
constexpr size_t kPackedNamesOffset = kRecordHeaderSize + 8;   // 72
constexpr size_t kPackedTableOffset = kRecordHeaderSize + 12;  // 76

const char kModuleName[] = "$module";

size_t AlignUp(size_t value, size_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

template <typename T>
const T* At(const ErrorRecord* record, size_t offset) {
    return reinterpret_cast<const T*>(reinterpret_cast<const uint8_t*>(record) + offset);
}

template <typename T>
T* At(ErrorRecord* record, size_t offset) {
    return reinterpret_cast<T*>(reinterpret_cast<uint8_t*>(record) + offset);
}

uint32_t ReadU32(const ErrorRecord* record, size_t offset) {
    uint32_t value;
    std::memcpy(&value, At<uint8_t>(record, offset), sizeof value);
    return value;
}

// ---- operations shared by several kinds --------------------------------------------------------

void DestroyRecord(ErrorRecord* record) {
    FreeRecord(record);
}

ErrorRecord* CloneSized(const ErrorRecord* record, size_t size) {
    ErrorRecord* copy = AllocateRecord(size);
    if (copy == nullptr) {
        return nullptr;
    }
    std::memcpy(static_cast<void*>(copy), record, size);
    copy->refs = 1;
    copy->reason = nullptr;
    return copy;
}

ErrorRecord* CloneRecord(const ErrorRecord* record) {
    return CloneSized(record, record->size);
}

void NoText(const ErrorRecord*, std::u16string&) {}
int64_t NoNumber(const ErrorRecord*, const char*) {
    return 0;
}
const char16_t* NoWide(const ErrorRecord*, const char*) {
    return nullptr;
}

const char* ModuleOnly(const ErrorRecord*, const char* name) {
    return SameName(name, kModuleName) ? ModuleIdentity() : nullptr;
}
const char* ModuleNames(const ErrorRecord*) {
    return kModuleName;
}

const void* MessageOf(const ErrorRecord* record) {
    return ResolveTextRef(record, ReadWord(record, kMessageRefOffset));
}

void NarrowMessageText(const ErrorRecord* record, std::u16string& out) {
    if (const auto* text = static_cast<const char*>(MessageOf(record))) {
        out += WidenBytes(text);
    }
}

void WideMessageText(const ErrorRecord* record, std::u16string& out) {
    if (const auto* text = static_cast<const char16_t*>(MessageOf(record))) {
        out += text;
    }
}

// ---- plain, narrow, wide -----------------------------------------------------------------------

const ErrorRecordOps kPlainOps = {DestroyRecord, CloneRecord, NoText,     NoNumber,
                                  ModuleOnly,    NoWide,      ModuleNames};
const ErrorRecordOps kNarrowOps = {DestroyRecord, CloneRecord, NarrowMessageText, NoNumber,
                                   ModuleOnly,    NoWide,      ModuleNames};
const ErrorRecordOps kWideOps = {DestroyRecord, CloneRecord, WideMessageText, NoNumber,
                                 ModuleOnly,    NoWide,      ModuleNames};

// ---- system code (word 6 holds the code; always 64 bytes) --------------------------------------

ErrorRecord* CloneSystem(const ErrorRecord* record) {
    return CloneSized(record, kRecordHeaderSize);
}
void SystemText(const ErrorRecord* record, std::u16string& out) {
    out += SystemCodeMessage(record->size);
}
int64_t SystemNumber(const ErrorRecord* record, const char* name) {
    return SameName(name, "code") ? record->size : 0;
}
const char* SystemNames(const ErrorRecord*) {
    return "code,$module";
}

const ErrorRecordOps kSystemOps = {DestroyRecord, CloneSystem, SystemText, SystemNumber,
                                   ModuleOnly,    NoWide,      SystemNames};

// ---- extra fields ------------------------------------------------------------------------------

const ErrorFieldKind* KindOf(const ErrorRecord* record) {
    return reinterpret_cast<const ErrorFieldKind*>(ReadWord(record, kFieldKindOffset));
}

// Index of `name` in the kind's field list, or -1.
int FieldIndex(const ErrorFieldKind* kind, const char* name) {
    const char* cursor = kind->names;
    for (size_t index = 0; index < kind->count; ++index) {
        const char* comma = std::strchr(cursor, ',');
        const size_t length = comma ? static_cast<size_t>(comma - cursor) : std::strlen(cursor);
        if (std::strlen(name) == length && std::memcmp(cursor, name, length) == 0) {
            return static_cast<int>(index);
        }
        if (comma == nullptr) {
            break;
        }
        cursor = comma + 1;
    }
    return -1;
}

uint64_t FieldWord(const ErrorRecord* record, const char* name, ErrorFieldType type, bool* found) {
    const ErrorFieldKind* kind = KindOf(record);
    const int index = FieldIndex(kind, name);
    *found = index >= 0 && kind->types[index] == type;
    return *found ? ReadWord(record, kFieldValuesOffset + 8 * static_cast<size_t>(index)) : 0;
}

int64_t FieldNumber(const ErrorRecord* record, const char* name) {
    bool found;
    return static_cast<int64_t>(FieldWord(record, name, ErrorFieldType::Number, &found));
}
const char* FieldNarrow(const ErrorRecord* record, const char* name) {
    bool found;
    const uint64_t ref = FieldWord(record, name, ErrorFieldType::Narrow, &found);
    return found ? static_cast<const char*>(ResolveTextRef(record, ref)) : ModuleOnly(record, name);
}
const char16_t* FieldWide(const ErrorRecord* record, const char* name) {
    bool found;
    const uint64_t ref = FieldWord(record, name, ErrorFieldType::Wide, &found);
    return found ? static_cast<const char16_t*>(ResolveTextRef(record, ref)) : nullptr;
}
const char* FieldNames(const ErrorRecord* record) {
    return KindOf(record)->names;
}

const ErrorRecordOps kFieldOps = {DestroyRecord, CloneRecord, WideMessageText, FieldNumber,
                                  FieldNarrow,   FieldWide,   FieldNames};

// ---- packed ------------------------------------------------------------------------------------

const char* PackedNames(const ErrorRecord* record) {
    return At<char>(record, ReadU32(record, kPackedNamesOffset));
}

// The type byte of the named field, or null.
const uint8_t* FindPackedField(const ErrorRecord* record, const char* name) {
    const char* cursor = PackedNames(record);
    if (*cursor == '\0') {
        return nullptr;
    }
    const size_t nameLength = std::strlen(name);
    for (size_t index = 0;; ++index) {
        const char* comma = std::strchr(cursor, ',');
        const size_t length = comma ? static_cast<size_t>(comma - cursor) : std::strlen(cursor);
        if (length == nameLength && std::memcmp(cursor, name, length) == 0) {
            return At<uint8_t>(record, ReadU32(record, kPackedTableOffset + 4 * index));
        }
        if (comma == nullptr) {
            return nullptr;
        }
        cursor = comma + 1;
    }
}

int64_t PackedNumber(const ErrorRecord* record, const char* name) {
    const uint8_t* field = FindPackedField(record, name);
    int64_t value = 0;
    if (field != nullptr && *field == 'N') {
        std::memcpy(&value, field + 1, sizeof value);
    }
    return value;
}
const char* PackedNarrow(const ErrorRecord* record, const char* name) {
    const uint8_t* field = FindPackedField(record, name);
    return field != nullptr && *field == 'A' ? reinterpret_cast<const char*>(field + 1) : nullptr;
}
const char16_t* PackedWide(const ErrorRecord* record, const char* name) {
    const uint8_t* field = FindPackedField(record, name);
    return field != nullptr && *field == 'W' ? reinterpret_cast<const char16_t*>(field + 1)
                                             : nullptr;
}

const ErrorRecordOps kPackedOps = {DestroyRecord, CloneRecord, WideMessageText, PackedNumber,
                                   PackedNarrow,  PackedWide,  PackedNames};

// ---- the out-of-memory record ------------------------------------------------------------------

ErrorRecord outOfMemory = {1, kOutOfMemoryError, nullptr, &kPlainOps, {}, kRecordHeaderSize};

ErrorRecord* NewRecord(const SourceLocation& place, uint32_t code, const ErrorRecordOps* ops,
                       size_t size) {
    ErrorRecord* record = AllocateRecord(size);
    if (record == nullptr) {
        return nullptr;
    }
    record->refs = 1;
    record->code = code;
    record->ops = ops;
    record->place = place;
    record->size = static_cast<uint32_t>(size);
    return record;
}

}  // namespace

ErrorRecord* AllocateRecord(size_t size) noexcept {
    if (allocationsBeforeFailure == 0 || size > UINT32_MAX) {
        return nullptr;
    }
    if (allocationsBeforeFailure > 0) {
        --allocationsBeforeFailure;
    }
    auto* bytes = new (std::nothrow) uint8_t[size]();
    return reinterpret_cast<ErrorRecord*>(bytes);
}

void FreeRecord(ErrorRecord* record) noexcept {
    delete[] reinterpret_cast<uint8_t*>(record);
}

void FailRecordAllocationsForTesting(int after) noexcept {
    allocationsBeforeFailure = after;
}

ErrorRecord* OutOfMemoryRecord() noexcept {
    Retain(&outOfMemory);
    return &outOfMemory;
}

void Retain(ErrorRecord* record) noexcept {
    if (record != nullptr) {
        RefsOf(record).fetch_add(1);
    }
}

void Release(ErrorRecord* record) noexcept {
    while (record != nullptr) {
        if (RefsOf(record).fetch_sub(1) != 1) {
            return;
        }
        ErrorRecord* reason = record->reason;
        record->ops->destroy(record);
        record = reason;
    }
}

const void* ResolveTextRef(const ErrorRecord* record, uint64_t ref) noexcept {
    if (ref == 0) {
        return nullptr;
    }
    if (ref < record->size) {
        return At<uint8_t>(record, ref);
    }
    return reinterpret_cast<const void*>(ref);
}

uint64_t ReadWord(const ErrorRecord* record, size_t offset) noexcept {
    uint64_t value;
    std::memcpy(&value, At<uint8_t>(record, offset), sizeof value);
    return value;
}

void WriteWord(ErrorRecord* record, size_t offset, uint64_t value) noexcept {
    std::memcpy(At<uint8_t>(record, offset), &value, sizeof value);
}

bool SameName(const char* a, const char* b) noexcept {
    return std::strcmp(a, b) == 0;
}

ErrorRecord* MakeSystemCodeRecord(const SourceLocation& place, uint32_t code) noexcept {
    ErrorRecord* record = NewRecord(place, kSystemCodeError, &kSystemOps, kRecordHeaderSize);
    if (record == nullptr) {
        return OutOfMemoryRecord();
    }
    record->size = code;
    return record;
}

ErrorRecord* MakePlainRecord(const SourceLocation& place, uint32_t code) noexcept {
    ErrorRecord* record = NewRecord(place, code, &kPlainOps, kRecordHeaderSize);
    return record != nullptr ? record : OutOfMemoryRecord();
}

ErrorRecord* MakeNarrowRecord(const SourceLocation& place, uint32_t code,
                              std::string_view message) noexcept {
    const size_t size = kMessageTextOffset + message.size() + 1;
    ErrorRecord* record = NewRecord(place, code, &kNarrowOps, size);
    if (record == nullptr) {
        return OutOfMemoryRecord();
    }
    std::memcpy(At<char>(record, kMessageTextOffset), message.data(), message.size());
    WriteWord(record, kMessageRefOffset, kMessageTextOffset);
    return record;
}

ErrorRecord* MakeWideRecord(const SourceLocation& place, uint32_t code,
                            std::u16string_view message) noexcept {
    // A whole catalogue text is referenced; it outlives every record.
    const bool inCatalog = IsCatalogText(message.data()) && message.data()[message.size()] == 0;
    const size_t textBytes = inCatalog ? 0 : (message.size() + 1) * sizeof(char16_t);
    ErrorRecord* record = NewRecord(place, code, &kWideOps, kMessageTextOffset + textBytes);
    if (record == nullptr) {
        return OutOfMemoryRecord();
    }
    if (inCatalog) {
        WriteWord(record, kMessageRefOffset, reinterpret_cast<uintptr_t>(message.data()));
    } else {
        std::memcpy(At<char16_t>(record, kMessageTextOffset), message.data(),
                    message.size() * sizeof(char16_t));
        WriteWord(record, kMessageRefOffset, kMessageTextOffset);
    }
    return record;
}

ErrorRecord* MakeFieldRecord(const SourceLocation& place, uint32_t code, const ErrorFieldKind& kind,
                             std::u16string_view message,
                             std::initializer_list<ErrorFieldValue> values) noexcept {
    // Layout: message ref, kind, one word per field, then the copied texts.
    size_t size = kFieldValuesOffset + 8 * kind.count;
    const size_t messageOffset = size;
    if (!message.empty()) {
        size += (message.size() + 1) * sizeof(char16_t);
    }
    const ErrorFieldValue* value = values.begin();
    for (size_t index = 0; index < kind.count && value != values.end(); ++index, ++value) {
        if (kind.types[index] == ErrorFieldType::Narrow) {
            size += value->narrow.size() + 1;
        } else if (kind.types[index] == ErrorFieldType::Wide) {
            size = AlignUp(size, 2) + (value->wide.size() + 1) * sizeof(char16_t);
        }
    }
    ErrorRecord* record = NewRecord(place, code, &kFieldOps, size);
    if (record == nullptr) {
        return OutOfMemoryRecord();
    }
    WriteWord(record, kFieldKindOffset, reinterpret_cast<uintptr_t>(&kind));
    size_t cursor = messageOffset;
    if (!message.empty()) {
        std::memcpy(At<char16_t>(record, cursor), message.data(), message.size() * 2);
        WriteWord(record, kMessageRefOffset, cursor);
        cursor += (message.size() + 1) * sizeof(char16_t);
    }
    value = values.begin();
    for (size_t index = 0; index < kind.count && value != values.end(); ++index, ++value) {
        const size_t slot = kFieldValuesOffset + 8 * index;
        switch (kind.types[index]) {
            case ErrorFieldType::Number:
                WriteWord(record, slot, static_cast<uint64_t>(value->number));
                break;
            case ErrorFieldType::Narrow:
                std::memcpy(At<char>(record, cursor), value->narrow.data(), value->narrow.size());
                WriteWord(record, slot, cursor);
                cursor += value->narrow.size() + 1;
                break;
            case ErrorFieldType::Wide:
                cursor = AlignUp(cursor, 2);
                std::memcpy(At<char16_t>(record, cursor), value->wide.data(),
                            value->wide.size() * 2);
                WriteWord(record, slot, cursor);
                cursor += (value->wide.size() + 1) * sizeof(char16_t);
                break;
        }
    }
    return record;
}

ErrorRecord* MakePackedRecord(uint32_t code, const SourceLocation& place,
                              const std::u16string& message,
                              const std::vector<PackedField>& fields) noexcept {
    // Layout: message ref, names offset, field offsets, the wide message, the names list, then
    // each field as its type byte and data. A wide value starts on an even offset.
    size_t size = kPackedTableOffset + 4 * fields.size();
    size = AlignUp(size, 2);
    const size_t messageOffset = size;
    size += (message.size() + 1) * sizeof(char16_t);
    const size_t namesOffset = size;
    for (const PackedField& field : fields) {
        size += field.name.size() + 1;
    }
    if (fields.empty()) {
        size += 1;
    }
    for (const PackedField& field : fields) {
        if (field.type == 'W') {
            size = AlignUp(size + 1, 2) + (field.wide.size() + 1) * sizeof(char16_t);
        } else if (field.type == 'A') {
            size += 1 + field.narrow.size() + 1;
        } else {
            size += 1 + sizeof(int64_t);
        }
    }
    ErrorRecord* record = NewRecord(place, code, &kPackedOps, size);
    if (record == nullptr) {
        return nullptr;
    }
    std::memcpy(At<char16_t>(record, messageOffset), message.data(), message.size() * 2);
    WriteWord(record, kMessageRefOffset, messageOffset);
    const uint32_t namesWord = static_cast<uint32_t>(namesOffset);
    std::memcpy(At<uint8_t>(record, kPackedNamesOffset), &namesWord, 4);
    size_t cursor = namesOffset;
    for (size_t index = 0; index < fields.size(); ++index) {
        if (index != 0) {
            *At<char>(record, cursor++) = ',';
        }
        std::memcpy(At<char>(record, cursor), fields[index].name.data(), fields[index].name.size());
        cursor += fields[index].name.size();
    }
    ++cursor;  // the list's terminator
    for (size_t index = 0; index < fields.size(); ++index) {
        const PackedField& field = fields[index];
        if (field.type == 'W' && cursor % 2 == 0) {
            ++cursor;  // so that the text after the type byte is aligned
        }
        const uint32_t offsetWord = static_cast<uint32_t>(cursor);
        std::memcpy(At<uint8_t>(record, kPackedTableOffset + 4 * index), &offsetWord, 4);
        *At<char>(record, cursor++) = field.type;
        if (field.type == 'W') {
            std::memcpy(At<char16_t>(record, cursor), field.wide.data(), field.wide.size() * 2);
            cursor += (field.wide.size() + 1) * sizeof(char16_t);
        } else if (field.type == 'A') {
            std::memcpy(At<char>(record, cursor), field.narrow.data(), field.narrow.size());
            cursor += field.narrow.size() + 1;
        } else {
            std::memcpy(At<uint8_t>(record, cursor), &field.number, sizeof field.number);
            cursor += sizeof field.number;
        }
    }
    return record;
}

}  // namespace Common::Detail

namespace Common {
namespace {

std::atomic<const char*> moduleIdentity{kModuleIdentity};

}  // namespace

const char* ModuleIdentity() {
    return moduleIdentity.load(std::memory_order_acquire);
}

void SetModuleIdentity(const char* identity) {
    moduleIdentity.store(identity != nullptr ? identity : kModuleIdentity,
                         std::memory_order_release);
}

}  // namespace Common
