// The pattern tests: the twenty test names a pattern's traits may carry (match.h).
//
// A test is called with the source unit and the value of the pattern trait that names it (the
// argument). "Same kind" means the same value kind; "order" is CompareUnits and "unit-equal",
// "value-equal" are UnitsEqual and ValuesEqual (compare.h).
//
//   AnyValue              always true
//   Between               the argument is a composite {From, To} whose two values have the same
//                         kind; true when the source has the kind of To and From <= source <= To
//   EqualValue            source and argument are value-equal
//   Greater, GreaterEqual, Less, LessEqual
//                         same kind, and source >, >=, <, <= argument in the order
//   IncludedInArray       the source is an array holding an element unit-equal to the argument
//   ValueIncludedInArray  the source is an array holding an element value-equal to the argument
//   In                    the argument is an array holding an element unit-equal to the source
//   ValueIn               the argument is an array holding an element value-equal to the source
//   Is, PrimaryKey, ForeignKey
//                         the source has a trait of the test's name value-equal to the argument
//   Source                when the argument has a trait "AnyValue": the source has a trait
//                         "Source"; otherwise one value-equal to the argument
//   Like                  the argument is a String wildcard (wildcard.h); true for a String
//                         source that fits it, and for an array source carrying a trait
//                         "Searchable" that holds a String element that fits it
//   Not                   the source does not match the argument as a pattern
//   Or                    the argument is an array of patterns: true when it is empty or not an
//                         array, else when the source matches one of them (tried in order)
//   DirectRelative        the argument is a String; true for a String source that begins with it
//   HasIntersection       source and argument are arrays; true when an element of the source is
//                         value-equal to an element of the argument
//
// Errors, all ModuleError of code Errors::kPatternError unless said otherwise:
//   a name that is not registered   "ZAPH: Name '{0}' of the trait is not registered for
//                                   pattern." with the name
//   Between, From and To of two kinds "ZAPH: Failed to check range inclusion."
//   Between without From or To      the error of a ConstDataAccessor that points at nothing
//                                   (Errors::kElementNotFound, data_accessor.h)
//   Like or DirectRelative with an argument that is not a String, HasIntersection with a source
//   or an argument that is not an array
//                                   "ZAPH: Object internal structure mismatch."
//
// The registry is built on first use and only read afterwards; it has no way to add or remove a
// test.
//
// Thread-safety: GetPatternByName and the tests may run on any number of threads at once over
// units that nobody changes.
#pragma once

#include <cstdint>

#include "enterprise/common/zaph/view.h"

namespace Zaph {
namespace Errors {

/// A pattern that cannot be evaluated: an unregistered test name or a bad argument.
inline constexpr uint32_t kPatternError = 0xFA000E;

}  // namespace Errors

namespace Util {

/// A pattern test: does `source` pass it with `argument`, the value of the pattern's trait?
using PatternTest = bool (*)(const View::Unit& source, const View::Unit& argument);

/// The test registered under `name`; raises the unregistered-name error for any other name.
PatternTest GetPatternByName(const Name& name);

}  // namespace Util
}  // namespace Zaph
