// The query as a remote post office sends it: the caller's view spec with its options completed.
//
//   Kivo::ViewSpec sent = Kivo::Client::PrepareViewSpec(entryPoint, spec, factory);
//
// The pattern is shared unchanged. The options are copied into a new unit made with `factory`
// (no options give an empty composite), and on the copy:
//   - "LimitOptions" becomes DWord 2000 when no trait of that name is there or one holds the
//     number 0 (of any integer kind); otherwise every "LimitOptions" trait is kept as it was;
//   - "EntryPoint" becomes, in place of any trait of that name, a composite naming the caller:
//     "ID" (QWord, its line tag), "File" (String, its source file decoded from UTF-8) and "Line"
//     (DWord).
// The caller's units are never changed.
//
// Errors: what copying the options raises (a unit nested too deep, Zaph::Errors::kUnitTooDeep).
//
// Thread-safety: as the factory; the caller's units are only read.
#pragma once

#include <cstdint>

#include "enterprise/common/ipc/view_manager/view_spec.h"
#include "enterprise/common/kivo/interfaces/entry_point.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace Kivo::Client {

/// The number of objects a query asks for when its options set no limit.
inline constexpr uint32_t kDefaultObjectLimit = 2000;

/// `spec` as it is sent for `entryPoint`; see the file comment.
[[nodiscard]] ViewSpec PrepareViewSpec(const Core::EntryPoint& entryPoint, const ViewSpec& spec,
                                       Zaph::Construction::UnitFactory& factory);

}  // namespace Kivo::Client
