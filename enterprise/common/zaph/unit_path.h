// Unit paths: a dotted text that names a unit inside nested composites.
//
//   ""        the root itself
//   ".a"      property a of the root
//   ".a.b"    property b of property a
//
// Inside a name, '.' is written "&d;", '^' is written "&r;" and '&' is written "&a;", so that
// every name, including one that holds these sequences itself, reads back as it was built.
// Reading replaces the escapes in one pass; a '&' that begins none of the three escapes is
// refused. Names are wide text in a path and narrow (Zaph::Name, UTF-8) once walked.
//
// Errors (all Errors::kGeneral unless noted):
//   a path that does not begin with '.'        "ZAPH: Beginning of unit path '{0}' contains an
//                                              incorrect symbol."
//   the path "."                               "ZAPH: Unit path '{0}' contains an empty token."
//   a path ending in '.'                       "ZAPH: There is an invalid separator at the end of
//                                              path '{0}'."
//   an unknown escape                          "ZAPH: Unit path '{0}' contains an unknown escape
//                                              sequence."
//   PutUnitInLocation through a non-composite  "ZAPH: An internal error has occurred. Path {0}
//                                              contains non composite unit '{1}'"
//   GetUnitByPath of a missing step            "ZAPH: Branch '{0}' cannot be found."
//                                              (Errors::kBranchNotFound) with the path up to it
// Two adjacent separators inside a path give an empty name, which is walked like any other.
//
// Thread-safety: pure functions over units that nobody else changes during the call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "enterprise/common/zaph/unit_factory.h"

namespace Zaph {
namespace Errors {

/// A path step names no existing unit where one is required.
inline constexpr uint32_t kBranchNotFound = 0xFA001B;

}  // namespace Errors

namespace Util {

/// Receives the elements of a path as WalkPath reads it.
class PathWalker : private Common::NonCopyable {
  public:
    virtual ~PathWalker() = default;
    /// One call per path element, in order.
    virtual void OnProperty(const Name& name) = 0;
    /// Called instead when the path is empty.
    virtual void OnRoot() = 0;
};

/// `parentPath` + "." + `name` with its '&', '.' and '^' escaped.
std::u16string BuildPath(std::u16string_view parentPath, std::u16string_view name);

/// Reads `path` and hands its elements to `walker`; raises the path errors of the file comment.
void WalkPath(std::u16string_view path, PathWalker& walker);

/// Stores a copy of `unit` at `path` below `root`, creating missing composites on the way. The
/// empty path makes the copy the new root; a null root becomes a new composite first. `unit` may
/// lie inside `root`: it is copied before anything changes. When it raises, `root` is as it was.
void PutUnitInLocation(Construction::UnitPtr& root, std::u16string_view path,
                       const View::Unit& unit, Construction::UnitFactory& factory);

/// The unit at `path` below `root`; raises Errors::kBranchNotFound for a missing step.
const View::Unit& GetUnitByPath(const View::Unit& root, std::u16string_view path);

}  // namespace Util
}  // namespace Zaph
