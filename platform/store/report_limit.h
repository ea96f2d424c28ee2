// The count that a view's options ask for: the trait "LimitOptions" of the options unit.
//
// Any integer kind is accepted; absent, 0 or null options mean no limit. A negative count or a
// value that is not an integer is refused with kBadOptions.
//
// Thread-safety: a pure function.
#pragma once

#include <cstdint>

#include "enterprise/common/zaph/view.h"

namespace KivoStore {

/// The count that `options` asks for, 0 for no limit; see the file comment.
[[nodiscard]] uint64_t ReportLimit(const Zaph::View::SharedUnitPtr& options);

}  // namespace KivoStore
