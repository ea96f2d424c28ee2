// Security::Initialize: prepares the security library (platform/security) once, before the
// program's first connection to a service on a remote host.
//
// The library reports a failure as a non-zero result and hands the error out as its byte form;
// Initialize rebuilds that error. A failure without bytes becomes kInvalidSecurityResult.
//
// Thread-safety: may be called from any thread.
#pragma once

#include <cstdint>

#include "core/common/error/error.h"
#include "core/common/source_location.h"

namespace Security {

/// The security library failed without saying why.
inline constexpr uint32_t kInvalidSecurityResult = 0x2740004;

/// Initialises the security library for the caller at `caller`. Empty on success.
Common::Error Initialize(Common::LineTag caller);

namespace Detail {

/// The outcome of a library result: empty for 0; otherwise the error read from `bytes` (which
/// this call frees with delete[]), or kInvalidSecurityResult when `bytes` is null or holds
/// the empty error.
Common::Error ErrorOfResult(int32_t result, uint8_t* bytes, uint32_t length);

}  // namespace Detail
}  // namespace Security
