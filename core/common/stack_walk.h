// Walking the calling thread's stack, one text line per frame.
//
// A line has up to three parts:
//   - with kStackAddress: the absolute address as "0x%08X%08X" and a blank;
//   - the location: the demangled symbol name, "+" and the displacement when the symbol is known
//     (exported: programs link with -rdynamic); else the module file name, "+" and the offset
//     from the module base; a zero displacement or offset is left out. Displacements and offsets
//     are written "0x%X", with a second group "%08X" when above 32 bits;
//   - with kStackSourceLine: " <file>, line <n>" when known. The walk reads no debug information,
//     so this part is never present today.
// A frame that yields no text is not delivered.
//
// Walks are serialised by one process-wide lock: the unwinder and the demangler are not asked
// from two threads at once. The callback runs under that lock and must not walk the stack.
//
// Thread-safety: any thread may walk its own stack at any time.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace Common {

/// Parts of a line, combined with "|".
inline constexpr uint32_t kStackAddress = 0x1;
inline constexpr uint32_t kStackSourceLine = 0x2;
inline constexpr uint32_t kStackAllParts = kStackAddress | kStackSourceLine;

/// Receives a frame's delivery index (from 0) and its line; returning false ends the walk.
using StackFrameCallback = std::function<bool(uint32_t index, std::string_view line)>;

/// Walks the stack of the calling thread from the caller of WalkStack outwards: skips `skip`
/// frames, then delivers at most `maxFrames` lines with the parts `options`.
void WalkStack(const StackFrameCallback& callback, uint32_t options, uint32_t maxFrames,
               uint32_t skip = 0);

}  // namespace Common
