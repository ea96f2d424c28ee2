// The record layout behind Common::Error. Internal to core/common/error.
//
// A record is one heap block (array new of bytes) that starts with this 64-byte header:
//
//   offset  0  refs    u32, changed atomically
//   offset  4  code    u32
//   offset  8  reason  ErrorRecord*, an owned reference or null
//   offset 16  ops     the kind's operation table
//   offset 24  place   SourceLocation (32 bytes)
//   offset 56  size    u32: total byte size; the system-code kind keeps its code here instead
//
// and goes on with the kind's payload. A text reference in a payload is a 64-bit word: 0 means
// absent, a value below the record's size is a byte offset from the start of the record, any
// other value is a pointer to text that lives for the whole process (the catalogue).
//
// Invariant: a record referenced more than once is never written; Add clones such a head.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/common/error/error.h"

namespace Common {

/// The operations of one record kind, in table order.
struct ErrorRecordOps {
    void (*destroy)(ErrorRecord* record);
    ErrorRecord* (*clone)(const ErrorRecord* record);
    void (*text)(const ErrorRecord* record, std::u16string& out);
    int64_t (*number)(const ErrorRecord* record, const char* name);
    const char* (*narrow)(const ErrorRecord* record, const char* name);
    const char16_t* (*wide)(const ErrorRecord* record, const char* name);
    const char* (*names)(const ErrorRecord* record);
};

struct ErrorRecord {
    uint32_t refs;
    uint32_t code;
    ErrorRecord* reason;
    const ErrorRecordOps* ops;
    SourceLocation place;
    uint32_t size;
};
static_assert(sizeof(ErrorRecord) == 64, "the header is 64 bytes");
static_assert(offsetof(ErrorRecord, size) == 56, "size is word 6");

namespace Detail {

/// Size of the header; payloads start here.
inline constexpr size_t kRecordHeaderSize = sizeof(ErrorRecord);

inline std::atomic_ref<uint32_t> RefsOf(ErrorRecord* record) {
    return std::atomic_ref<uint32_t>(record->refs);
}

/// Allocates `size` zeroed bytes for a record (null on failure). Tests can make it fail.
ErrorRecord* AllocateRecord(size_t size) noexcept;
/// Frees a block from AllocateRecord.
void FreeRecord(ErrorRecord* record) noexcept;
/// Makes AllocateRecord fail from the `after`-th call on (counted from now) on this thread; a
/// negative value turns failures off.
void FailRecordAllocationsForTesting(int after) noexcept;

/// The static record of code kOutOfMemoryError, with one more reference taken.
ErrorRecord* OutOfMemoryRecord() noexcept;

/// Adds a reference.
void Retain(ErrorRecord* record) noexcept;
/// Releases a reference and, at zero, the record and then its reason chain.
void Release(ErrorRecord* record) noexcept;

/// Resolves a payload text reference (see the file comment).
const void* ResolveTextRef(const ErrorRecord* record, uint64_t ref) noexcept;
/// Reads/writes an unaligned 64-bit word of the payload.
uint64_t ReadWord(const ErrorRecord* record, size_t offset) noexcept;
void WriteWord(ErrorRecord* record, size_t offset, uint64_t value) noexcept;

/// Records of the local kinds, with refs 1, or the out-of-memory record.
ErrorRecord* MakePlainRecord(const SourceLocation& place, uint32_t code) noexcept;
ErrorRecord* MakeNarrowRecord(const SourceLocation& place, uint32_t code,
                              std::string_view message) noexcept;
ErrorRecord* MakeWideRecord(const SourceLocation& place, uint32_t code,
                            std::u16string_view message) noexcept;
ErrorRecord* MakeFieldRecord(const SourceLocation& place, uint32_t code, const ErrorFieldKind& kind,
                             std::u16string_view message,
                             std::initializer_list<ErrorFieldValue> values) noexcept;

/// A record of the system-code kind holding `code`, with refs 1, or the out-of-memory record.
ErrorRecord* MakeSystemCodeRecord(const SourceLocation& place, uint32_t code) noexcept;

/// Builds a record of the packed kind, as Deserialize does.
struct PackedField {
    std::string name;
    char type;  // 'A', 'W' or 'N'
    std::string narrow;
    std::u16string wide;
    int64_t number = 0;
};
/// Null when the record cannot be allocated.
ErrorRecord* MakePackedRecord(uint32_t code, const SourceLocation& place,
                              const std::u16string& message,
                              const std::vector<PackedField>& fields) noexcept;

/// The system's text for a code stored in a system-code record (may be empty).
std::u16string SystemCodeMessage(uint32_t code);

/// Compares two field names: whole names, case-sensitively.
bool SameName(const char* a, const char* b) noexcept;

}  // namespace Detail
}  // namespace Common
