// The shared trace recorder under the name that the client's and the dump tool's tests use.
#pragma once

#include "tests/support/trace_recorder.h"

namespace KivoTest {
using KivoTestSupport::TraceRecorder;
}  // namespace KivoTest
