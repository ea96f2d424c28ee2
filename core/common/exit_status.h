// The process exit status of an error code.
//
// A code from 1 to 255 is the status itself; a larger code exits with 255, since the system keeps
// only eight bits and a code such as 0x9C0100 would otherwise read as success. The printed error
// text always carries the full code. Every program of the project ends through this rule, except
// for usage mistakes of kivo_store and kivod, which exit with kUsageExitStatus.
#pragma once

#include <cstdint>

namespace Common {

/// The status of a command line that a program does not take, as command-line tools have it: the
/// usage goes to standard error, without an error's internals.
inline constexpr int kUsageExitStatus = 2;

/// 0 for 0, the code for 1 to 255, else 255.
int ExitStatusOf(uint32_t code);

}  // namespace Common
