// The process exit status of an error code.
//
// A code from 1 to 255 is the status itself; a larger code exits with 255, since the system keeps
// only eight bits and a code such as 0x9C0100 would otherwise read as success. The printed error
// text always carries the full code. Every program of the project ends through this rule.
#pragma once

#include <cstdint>

namespace Common {

/// 0 for 0, the code for 1 to 255, else 255.
int ExitStatusOf(uint32_t code);

}  // namespace Common
