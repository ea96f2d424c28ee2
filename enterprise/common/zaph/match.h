// Matching a unit against a pattern.
//
// A pattern is an ordinary unit shaped like the units it selects. Match(source, pattern):
//   1. A Nil pattern without traits matches every source.
//   2. Otherwise a source whose value kind differs from the pattern's does not match.
//   3. A pattern without traits that is not a composite matches a source with an equal value
//      (ValuesEqual: the source's traits are ignored). Each trait of a pattern names a test
//      (pattern_registry.h) that is called with the source and the trait's value, in trait
//      order; the first test that fails makes the match fail. A pattern with traits does not
//      compare its own value.
//   4. Each property of a composite pattern, in name order, must match the source's property of
//      the same name; a source without that property does not match. Properties of the source
//      that the pattern does not name are not looked at, so a composite pattern without
//      properties or traits matches every composite.
//
// Errors of the tests end the match (pattern_registry.h). Patterns and sources nested deeper
// than kMaxUnitDepth raise Errors::kUnitTooDeep instead of exhausting the stack.
//
// Matching allocates no memory for value patterns, composite patterns and the tests "Is",
// "EqualValue" and "Like": a store can match every candidate object without touching the heap.
//
// Thread-safety: may run on any number of threads at once over units that nobody changes.
#pragma once

#include "enterprise/common/zaph/pattern_registry.h"
#include "enterprise/common/zaph/view.h"

namespace Zaph::Util {

/// True when `source` matches `pattern` (see the file comment).
bool Match(const View::Unit& source, const View::Unit& pattern);

}  // namespace Zaph::Util
