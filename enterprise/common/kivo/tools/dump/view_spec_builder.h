// Building the query of a run from its command line.
//
// One of three forms applies, tested in this order:
//   1. an object type: the pattern is an empty composite with one trait "Is" holding the type as
//      a string (the unit of .Composite().Trait("Is").String("<type>").End().End()); no options;
//   2. a pattern text: the options text, then the pattern text, each read with the unit
//      construction text format from memory;
//   3. otherwise the options file, then the pattern file, read the same way.
// Options are read before the pattern, so when both are malformed the options' error is the one
// raised. Each read writes its trace line to standard output, and ends that line when the text
// has an error, before the error is printed. Texts are decoded from UTF-8.
//
// A query without a pattern would match every object, so it is refused with code
// kQueryWithoutPattern: no object type, pattern text or pattern file (an empty pattern argument
// counts as none), or a pattern that holds no complete unit (blank, root left open, empty file).
// An options text or file that is given but holds no complete unit is refused the same way;
// no options at all means none. Errors of the text format and the file reader end the building
// with their own codes.
//
// Thread-safety: one thread.
#pragma once

#include <cstdint>

#include "enterprise/common/ipc/view_manager/view_spec.h"
#include "enterprise/common/kivo/tools/dump/arguments.h"

namespace KivoDump {

/// The code of a query refused for having no pattern or options without a unit.
inline constexpr uint32_t kQueryWithoutPattern = 9;

/// The query of `arguments`; see the file comment.
Kivo::ViewSpec MakeViewSpec(const Arguments& arguments);

}  // namespace KivoDump
