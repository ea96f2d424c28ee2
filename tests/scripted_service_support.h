// The machines that the scripted view manager of the listening tests sends
// (in_process_dump_main.cpp), built alike for that view manager and for the tests' expectations.
#pragma once

#include <cstdint>

#include "enterprise/common/zaph/view.h"

namespace KivoDumpTest {

/// Machine `n` (a "Key" composite with "PrimaryKey" and the machine's name), its key, and the
/// values that change in it. With a `channel` other than 0 the root carries the trait
/// "ChannelID" with it, as a service marks what it sends for an interest.
Zaph::View::SharedUnitPtr MachineObject(uint32_t n, uint32_t channel = 0);
Zaph::View::SharedUnitPtr MachineKey(uint32_t n, uint32_t channel = 0);
Zaph::View::SharedUnitPtr MachineDiff(uint32_t n);

}  // namespace KivoDumpTest
