// The errors that several parts of the platform IPC client library raise.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <exception>

#include "core/common/error/error.h"

namespace IPCClient {

/// kIpcClientNotInitialized at `place`.
[[nodiscard]] Common::Error NotInitialized(const Common::SourceLocation& place);
/// The canceled error at `place`.
[[nodiscard]] Common::Error Canceled(const Common::SourceLocation& place);
/// kIpcClientUnexpectedException at `place` with the exception's text.
[[nodiscard]] Common::Error UnexpectedException(const Common::SourceLocation& place,
                                                const std::exception& exception);
/// kIpcClientNoService at `place`, naming the service.
[[nodiscard]] Common::Error NoService(const Common::SourceLocation& place, uint32_t serviceId);
/// kIpcClientNoComponent at `place`, naming the component.
[[nodiscard]] Common::Error NoComponent(const Common::SourceLocation& place, uint32_t componentId);
/// kIpcClientConnectionClosed at `place`.
[[nodiscard]] Common::Error ConnectionClosed(const Common::SourceLocation& place);
/// kIpcClientConnectionLost at `place`, with `reason` (may be empty) as its reason.
[[nodiscard]] Common::Error ConnectionLost(const Common::SourceLocation& place,
                                           const Common::Error& reason);

}  // namespace IPCClient
