// TraceUnit: the line-per-value printout of a unit, for people (object records of the dump
// tool, units quoted in error messages). Nothing reads it back.
//
// Every value is one line: prefix, separator, name, then its kind and value:
//
//   Root (Composite)
//     [Is (Common::String) = Machine]
//     Name (Common::String) = alpha
//     Count (unsigned long) = 7
//     List (Array)
//       0 (double) = 0.5
//
// Members of a composite or an array follow their head two blanks further in (array elements
// are named by their index); traits follow the value they belong to, two blanks further in,
// each on one line inside "[" and "]", however deep its own value goes. An error value prints
// its code, its line tag (lower-case hexadecimal) and its message, then each reason of its chain
// on a line of its own headed "(SubError)", one level deeper each. Wide text is written as
// UTF-8; text that does not convert is written as the low byte of each UTF-16 unit. Numbers are
// written in the C locale.
//
// With `lineEnds` off nothing ends a line: the whole unit is written as one line.
//
// Units nested deeper than kMaxUnitDepth raise Errors::kUnitTooDeep; what was written so far
// stays written.
//
// Thread-safety: the unit must not change during the call; distinct buffers may be written from
// distinct threads.
#pragma once

#include <string>
#include <string_view>

#include "enterprise/common/zaph/view.h"

namespace Zaph::Util {

/// Appends the printout of `unit`, named "Root", to `out`, each line beginning with `prefix`.
void TraceUnit(const View::Unit& unit, std::string_view prefix, std::string& out, bool lineEnds);

/// The printout of TraceUnit as a string.
std::string TraceUnitToString(const View::Unit& unit, std::string_view prefix, bool lineEnds);

}  // namespace Zaph::Util
