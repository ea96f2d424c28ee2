#include "core/common/assert.h"

#include <cstdio>

namespace Common {

void AssertionFailed(const char* expression, const char* file, int line) noexcept {
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
    std::fflush(stderr);
}

}  // namespace Common
