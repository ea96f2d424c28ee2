// The security library: the protection of connections to services on other hosts.
//
// Security_Initialize prepares the library once per process, before the first connection to a
// remote host; a non-zero result means that it failed, and Security_GetLastError then hands out
// the failure as the byte form of a Common::Error (core/common/error/error.h), or nothing.
//
// Our transports do not protect connections yet: the IPC client library reaches only services in
// the same process, so there is nothing to set up, and Security_Initialize succeeds. Encrypted
// transports will do their set-up here.
//
// Thread-safety: both functions may be called from any thread.
#pragma once

#include <cstdint>

#include "core/common/source_location.h"

/// Prepares the library for the caller at `caller`; `flags` is reserved and 0. 0 on success.
int32_t Security_Initialize(Common::LineTag caller, uint32_t flags) noexcept;

/// The failure of the last Security_Initialize of this thread: `bytes` receives an array made
/// with new[] that the caller frees with delete[], holding `length` bytes of the byte form of a
/// Common::Error; null and 0 when there is none.
void Security_GetLastError(uint8_t*& bytes, uint32_t& length) noexcept;
