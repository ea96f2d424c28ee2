// The errors that several parts of the platform IPC client library raise.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <exception>

#include "core/common/error/error.h"

namespace IPCClient {

/// The job framework's code for a call that was canceled.
inline constexpr uint32_t kCanceled = 0xF90002;

/// kIpcClientNotInitialized at `place`.
Common::Error NotInitialized(const Common::SourceLocation& place);
/// The canceled error at `place`.
Common::Error Canceled(const Common::SourceLocation& place);
/// kIpcClientUnexpectedException at `place` with the exception's text.
Common::Error UnexpectedException(const Common::SourceLocation& place,
                                  const std::exception& exception);

}  // namespace IPCClient
