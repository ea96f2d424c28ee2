// KivoSecurity::TakeOpenSslReason: the text of what OpenSSL last refused on this thread.
//
// OpenSSL queues its errors per thread; a call that fails may leave several behind, and a later
// call on the same thread would read them as its own. Every failure of this library is turned
// into a Common::Error with the first queued reason and the queue emptied at once.
//
// Thread-safety: the queue is the calling thread's.
#pragma once

#include <string>

namespace KivoSecurity {

/// The text of the first error queued on this thread ("error:0A000086:SSL routines::..."), or
/// `fallback` when none is queued; the queue is empty afterwards.
[[nodiscard]] std::string TakeOpenSslReason(const char* fallback);

}  // namespace KivoSecurity
