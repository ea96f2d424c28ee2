#include "core/common/stack_walk.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Common {
namespace {

std::mutex walkLock;

void AppendHex(std::string& out, uint64_t value) {
    char text[24];
    const auto high = static_cast<uint32_t>(value >> 32);
    const auto low = static_cast<uint32_t>(value);
    if (high == 0) {
        std::snprintf(text, sizeof(text), "0x%" PRIX32, low);
    } else {
        std::snprintf(text, sizeof(text), "0x%" PRIX32 "%08" PRIX32, high, low);
    }
    out += text;
}

void AppendDisplacement(std::string& out, uint64_t displacement) {
    if (displacement != 0) {
        out += '+';
        AppendHex(out, displacement);
    }
}

std::string Demangled(const char* name) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(name);
}

std::string FileName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// The location part of a frame; empty when nothing is known of the address. A return address
// points after its call, which may be the end of the function: the call itself, one byte
// earlier, is what is looked up.
std::string Location(const void* address) {
    Dl_info info{};
    if (dladdr(static_cast<const char*>(address) - 1, &info) == 0) {
        return {};
    }
    const auto target = reinterpret_cast<uintptr_t>(address);
    std::string out;
    if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
        out = Demangled(info.dli_sname);
        AppendDisplacement(out, target - reinterpret_cast<uintptr_t>(info.dli_saddr));
    } else if (info.dli_fbase != nullptr) {
        const uint64_t offset = target - reinterpret_cast<uintptr_t>(info.dli_fbase);
        if (info.dli_fname != nullptr && info.dli_fname[0] != '\0') {
            out = FileName(info.dli_fname);
            AppendDisplacement(out, offset);
        } else {
            AppendHex(out, offset);
        }
    }
    return out;
}

std::string FrameLine(const void* address, uint32_t options) {
    std::string line;
    if (options & kStackAddress) {
        const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(address));
        char text[24];
        std::snprintf(text, sizeof(text), "0x%08" PRIX32 "%08" PRIX32 " ",
                      static_cast<uint32_t>(value >> 32), static_cast<uint32_t>(value));
        line += text;
    }
    line += Location(address);
    return line;
}

}  // namespace

// Not inlined, so that its caller's frame is the one its return address names.
__attribute__((noinline)) void WalkStack(const StackFrameCallback& callback, uint32_t options,
                                         uint32_t maxFrames, uint32_t skip) {
    if (maxFrames == 0) {
        return;
    }
    // Frames above the caller's: WalkStack itself, and an interposed backtrace (sanitizers)
    // may add one more; the caller's frame is found by its return address.
    constexpr uint64_t kOwnFramesLimit = 4;
    constexpr uint64_t kCaptureLimit = 1024;
    const void* const callerFrame = __builtin_return_address(0);
    const auto capture =
        static_cast<int>(std::min(kOwnFramesLimit + skip + maxFrames, kCaptureLimit));
    std::lock_guard<std::mutex> hold(walkLock);
    std::vector<void*> frames(capture);
    const auto captured = static_cast<uint64_t>(std::max(backtrace(frames.data(), capture), 0));
    uint64_t first = 1;
    for (uint64_t i = 0; i < std::min(captured, kOwnFramesLimit); ++i) {
        if (frames[i] == callerFrame) {
            first = i;
            break;
        }
    }
    uint32_t delivered = 0;
    for (uint64_t i = first + skip; i < captured && delivered < maxFrames; ++i) {
        const std::string line = FrameLine(frames[i], options);
        if (line.empty()) {
            continue;
        }
        if (!callback(delivered++, line)) {
            return;
        }
    }
}

}  // namespace Common
