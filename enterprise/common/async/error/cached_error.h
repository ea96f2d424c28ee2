// The shared errors of the job framework, built once on first use and kept for the process.
//
// Thread-safety: any thread; the first callers race to build the error and one of them wins.
#pragma once

#include <cstdint>

#include "core/common/error/error.h"

namespace Async {

/// Code of the result of a job that never set one: "ASYNC: The operation result is invalid."
inline constexpr uint32_t kInvalidResult = 0xF90001;

/// The shared error of code kInvalidResult.
const Common::Error& InvalidResultError();

/// The shared error of code Common::kCanceled.
const Common::Error& CanceledError();

}  // namespace Async
