// Texts of the errors that the async service raises itself.
#pragma once

namespace AsyncService {

/// Text of kThreadStartFailed.
inline constexpr char16_t kThreadStartFailedText[] =
    u"ASYNC: The async service could not start a thread.";

}  // namespace AsyncService
