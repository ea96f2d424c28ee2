#include "enterprise/common/zaph/nesting_guard.h"

#include <string>

#include "core/common/catalog.h"
#include "enterprise/common/zaph/errors.h"

namespace Zaph::Detail {

void ThrowUnitTooDeep(const Common::SourceLocation& place) {
    const std::string limit = std::to_string(kMaxUnitDepth);
    throw MakeError(place, Errors::kUnitTooDeep, Common::kMsgZaphUnitTooDeep,
                    {std::u16string(limit.begin(), limit.end())});
}

}  // namespace Zaph::Detail
