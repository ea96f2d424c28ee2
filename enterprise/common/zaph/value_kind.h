// The seventeen value kinds of a unit: their data types, type indices and names.
//
// A unit holds exactly one value. Its kind is identified by a type index from 0 (Nil) to 16
// (Composite); TypeIndex::None (17) stands for "no kind", the answer of a type-index query that
// has visited nothing. Kinds order by their index wherever units are compared.
//
// Thread-safety: constants and pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/guid.h"

namespace Zaph {

/// Data of a Blob value.
using Blob = std::vector<uint8_t>;
/// Data of a String value: UTF-16 text.
using String = std::u16string;
/// Data of a Guid value.
using Guid = Common::Guid;

/// Type indices of the value kinds.
struct TypeIndex {
    enum : uint32_t {
        Nil = 0,
        Boolean = 1,
        Byte = 2,
        SByte = 3,
        Word = 4,
        SWord = 5,
        DWord = 6,
        SDWord = 7,
        QWord = 8,
        SQWord = 9,
        Double = 10,
        Blob = 11,
        Guid = 12,
        String = 13,
        Error = 14,
        Array = 15,
        Composite = 16,
        /// No kind at all.
        None = 17,
    };
};

/// The type index of the kind whose data type is T (scalar and complex kinds only).
template <class T>
inline constexpr uint32_t kTypeIndexOf = TypeIndex::None;
template <>
inline constexpr uint32_t kTypeIndexOf<bool> = TypeIndex::Boolean;
template <>
inline constexpr uint32_t kTypeIndexOf<uint8_t> = TypeIndex::Byte;
template <>
inline constexpr uint32_t kTypeIndexOf<int8_t> = TypeIndex::SByte;
template <>
inline constexpr uint32_t kTypeIndexOf<uint16_t> = TypeIndex::Word;
template <>
inline constexpr uint32_t kTypeIndexOf<int16_t> = TypeIndex::SWord;
template <>
inline constexpr uint32_t kTypeIndexOf<uint32_t> = TypeIndex::DWord;
template <>
inline constexpr uint32_t kTypeIndexOf<int32_t> = TypeIndex::SDWord;
template <>
inline constexpr uint32_t kTypeIndexOf<uint64_t> = TypeIndex::QWord;
template <>
inline constexpr uint32_t kTypeIndexOf<int64_t> = TypeIndex::SQWord;
template <>
inline constexpr uint32_t kTypeIndexOf<double> = TypeIndex::Double;
template <>
inline constexpr uint32_t kTypeIndexOf<Blob> = TypeIndex::Blob;
template <>
inline constexpr uint32_t kTypeIndexOf<Guid> = TypeIndex::Guid;
template <>
inline constexpr uint32_t kTypeIndexOf<String> = TypeIndex::String;
template <>
inline constexpr uint32_t kTypeIndexOf<Common::Error> = TypeIndex::Error;

/// True for the data types held inline as scalars (read by value); the others are complex
/// (read by const reference).
template <class T>
inline constexpr bool kIsScalarData = std::is_arithmetic_v<T>;

/// The name of a kind in the unit construction text format ("Nil" ... "Composite"); an empty
/// text for an index of 17 or more.
const char* TypeName(uint32_t index);

/// The lower-case name of a kind used inside messages ("nil" ... "composite"); an index of 17
/// or more is written as its decimal number.
std::u16string MessageTypeName(uint32_t index);

}  // namespace Zaph
