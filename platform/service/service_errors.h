// The errors of the service's view manager (0xFC009x, beside the store's).
//
// Thread-safety: constants and a pure function.
#pragma once

#include <cstdint>

#include "core/common/error/error.h"

namespace KivoService {

/// A view identifier that the connection does not hold.
inline constexpr uint32_t kUnknownView = 0xFC0090;
/// A subscriber identifier that the connection does not hold.
inline constexpr uint32_t kUnknownSubscriber = 0xFC0091;
/// An interest that the subscriber does not hold.
inline constexpr uint32_t kUnknownInterest = 0xFC0092;
/// A method of interface version 2 asked of a service that offers version 1.
inline constexpr uint32_t kMethodNotOffered = 0xFC0093;
/// A reply that would pass the transport's limit; the message names "LimitOptions".
inline constexpr uint32_t kReplyTooLarge = 0xFC0094;
/// The service is stopping.
inline constexpr uint32_t kServiceStopping = 0xFC0095;

/// The service cannot make a descriptor or a thread it needs.
inline constexpr uint32_t kServiceFailure = 0xFC0096;

/// kServiceStopping, raised at `place`.
[[nodiscard]] Common::Error ServiceStopping(const Common::SourceLocation& place);

}  // namespace KivoService
