#include "core/common/exit_status.h"

namespace Common {

int ExitStatusOf(uint32_t code) {
    return code <= 255 ? static_cast<int>(code) : 255;
}

}  // namespace Common
