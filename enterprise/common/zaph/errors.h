// The errors of the unit library.
//
// Every error of the library is a Common::Error of the library's facility (codes 0xFA0001 to
// 0xFA0021) with a "ZAPH: ..." message from the message catalogue. They are thrown as
// Zaph::ModuleError, which derives from Common::Error and so is caught as either.
//
// The type-mismatch constructors log the calling stack to the trace sink at level 2 before they
// build their error, so that a mismatch deep inside a request can be traced to its reader.
//
// Thread-safety: all functions may run on any thread.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "core/common/error/error.h"
#include "core/common/source_location.h"

namespace Zaph {

/// The exception type of the library: a Common::Error (catch either).
class ModuleError : public Common::Error {
  public:
    explicit ModuleError(Common::Error error) : Common::Error(std::move(error)) {}
};

namespace Errors {

/// General failures: internal errors, uninitialized objects, property processing, paths.
inline constexpr uint32_t kGeneral = 0xFA0001;
/// A value of another kind than expected.
inline constexpr uint32_t kTypeMismatch = 0xFA000A;
/// An absent unit, trait or property where one is required.
inline constexpr uint32_t kNullUnit = 0xFA000B;
/// A property that must exist is missing.
inline constexpr uint32_t kPropertyNotFound = 0xFA000D;
/// An array index or iterator outside its range.
inline constexpr uint32_t kOutOfRange = 0xFA000F;
/// A unit nested deeper than kMaxUnitDepth reached an algorithm that walks it.
inline constexpr uint32_t kUnitTooDeep = 0xFA0013;

/// "ZAPH: Cannot access property by path '{0}'." (kGeneral).
ModuleError UnitMissingPropertyAccess(std::u16string_view path);

}  // namespace Errors

namespace Util::Detail {

/// "ZAPH: There is a mismatch in object internal structure. Expected object type is '{0}',
/// actual object type is '{1}'." (kTypeMismatch) with the message names of the two kinds.
ModuleError MakeTypeMismatchError(uint32_t expected, uint32_t actual);
/// "ZAPH: Object internal structure mismatch." (kTypeMismatch).
ModuleError MakeTypeMismatchError();
/// "ZAPH: There is a mismatch in object property '{0}'. Expected property type is '{1}', actual
/// property type is '{2}'." (kTypeMismatch).
ModuleError MakePropertyTypeMismatchError(std::u16string_view path, uint32_t expected,
                                          uint32_t actual);

}  // namespace Util::Detail

namespace Detail {

/// An error of `code` raised at `place` with the catalogue message `messageId`, its
/// placeholders filled with `arguments`.
ModuleError MakeError(const Common::SourceLocation& place, uint32_t code, uint32_t messageId,
                      std::initializer_list<std::u16string_view> arguments = {});

/// Raises "ZAPH: Null units are forbidden." (kNullUnit) for the raise site `place`.
[[noreturn]] void ThrowNullUnit(const Common::SourceLocation& place);
/// Raises "ZAPH: Out of range." (kOutOfRange) for the raise site `place`.
[[noreturn]] void ThrowOutOfRange(const Common::SourceLocation& place);

}  // namespace Detail
}  // namespace Zaph
