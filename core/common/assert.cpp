#include "core/common/assert.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include "core/common/assert_policy.h"

namespace Common {
namespace {

std::once_flag policyOnce;
uint32_t policyFlags = kAssertDefaultFlags;
// The log target; a file opened for it is closed at process exit, after which standard error
// takes over again.
std::atomic<FILE*> logTarget{nullptr};

void CloseLogFile() {
    FILE* file = logTarget.exchange(stderr);
    if (file != stdout && file != stderr && file != nullptr) {
        std::fclose(file);
    }
}

void ReadPolicy() {
    const AssertionPolicy policy = ParseAssertionPolicy(std::getenv("BRINTAL_SAFE_ASSERT"));
    policyFlags = policy.flags;
    FILE* target = stderr;
    if (policy.openLog) {
        target = SelectAssertionLogTarget(std::getenv("BRINTAL_SAFE_ASSERT_LOGFILE"), stderr);
    }
    logTarget.store(target);
    if (target != stdout && target != stderr) {
        std::atexit(&CloseLogFile);
    }
}

}  // namespace

// Under the default flags this returns to the failed assertion, so the code after every
// assertion must stay memory-safe when it goes on (see assert.h).
__attribute__((noinline)) void AssertionFailed(const char* expression, const char* file,
                                               int line) noexcept {
    try {
        std::call_once(policyOnce, &ReadPolicy);
    } catch (const std::system_error&) {
        // The policy could not be read: the defaults stay.
    }
    FILE* log = logTarget.load();
    ReportAssertion(policyFlags, log != nullptr ? log : stderr, expression, file, line);
    // Keeps this frame on the stack during the call (no tail call): the handler skips it.
    asm volatile("" ::: "memory");
}

}  // namespace Common
