// The security library: the protection of connections to services on other hosts.
//
//   if (Security_Initialize(tag, 0) != 0) {                // once, before the first remote host
//       uint8_t* bytes = nullptr;
//       uint32_t length = 0;
//       Security_GetLastError(bytes, length);              // the failure's byte form
//       ... Common::Error::Deserialize(bytes, length) ...; delete[] bytes;
//   }
//
// Security_Initialize prepares the library for the caller; a non-zero result means that it
// failed, and Security_GetLastError then hands out the failure as the byte form of a
// Common::Error (core/common/error/error.h). The failure is kept per thread: the last
// Security_Initialize of the calling thread, until that thread calls it again.
//
// The program's libraries see only these declarations; the implementation is a platform layer
// (platform/security) that registers itself with RegisterLibrary, as the IPC client library does,
// and programs link it. With nothing registered, Security_Initialize fails with
// kSecurityNotRegistered.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "core/common/source_location.h"

namespace SecurityApi {

/// No security library is registered in the program.
inline constexpr uint32_t kSecurityNotRegistered = 0x274001A;

/// The implementation behind the security functions; see the file comment.
class Library : private Common::NonCopyable {
  public:
    virtual ~Library() = default;
    /// Loads and checks what the client side needs. Throws nothing; empty on success.
    virtual Common::Error Initialize() = 0;
};

/// The registered library; null when none is.
std::shared_ptr<Library> GetLibrary() noexcept;

/// Registers `library` (null: none) and returns the library it replaces.
std::shared_ptr<Library> RegisterLibrary(std::shared_ptr<Library> library) noexcept;

}  // namespace SecurityApi

/// Prepares the library for the caller at `caller`; `flags` is reserved and 0. 0 on success.
int32_t Security_Initialize(Common::LineTag caller, uint32_t flags) noexcept;

/// The failure of the last Security_Initialize of this thread: `bytes` receives an array made
/// with new[] that the caller frees with delete[], holding `length` bytes of the byte form of a
/// Common::Error; null and 0 when there is none.
void Security_GetLastError(uint8_t*& bytes, uint32_t& length) noexcept;
