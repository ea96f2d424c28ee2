// Assertions: checks of the program's own logic, never of outside input.
//
// A failed assertion goes to one process-wide handler whose behaviour the environment variable
// BRINTAL_SAFE_ASSERT chooses (assert_policy.h). Under the default policy the handler reports and
// RETURNS: the code after every COMMON_ASSERT must stay memory-safe when the condition was false
// (check again, or return, after asserting).
//
// Thread-safety: assertions may fail on any thread.
#pragma once

namespace Common {

/// Reports a failed assertion with its expression text, source file and line. Never throws.
void AssertionFailed(const char* expression, const char* file, int line) noexcept;

}  // namespace Common

/// Reports `condition` through the assertion handler when it is false; evaluates it once.
#define COMMON_ASSERT(condition)                                       \
    do {                                                               \
        if (!(condition)) {                                            \
            ::Common::AssertionFailed(#condition, __FILE__, __LINE__); \
        }                                                              \
    } while (false)

/// Reports an assertion with a fixed text (the text a check is known by).
#define COMMON_ASSERT_TEXT(condition, text)                        \
    do {                                                           \
        if (!(condition)) {                                        \
            ::Common::AssertionFailed((text), __FILE__, __LINE__); \
        }                                                          \
    } while (false)
