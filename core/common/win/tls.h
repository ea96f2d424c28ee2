// Common::Tls: thread-local slots, each holding one pointer per thread (null until set).
//
// One slot in the process may carry the clean-up callback: when a thread ends, and when the
// process ends (for the thread that ends it, through exit or a return from main), the callback
// is called with that thread's value of the slot if it is not null, and the value is cleared.
// Registering a second callback while one is registered fails the assertion "_Callback == 0";
// freeing the slot that carries it ends the registration.
//
// Every call with the slot OUT_OF_INDEXES fails the assertion
// "key != Common::Tls::OUT_OF_INDEXES" and does nothing (GetValue returns null).
//
// Thread-safety: every function may be called from any thread. A slot must not be freed while
// other threads still use it.
#pragma once

#include <cstdint>

namespace Common {

/// See the file comment.
class Tls {
  public:
    using Key = uint32_t;
    using Callback = void (*)(void* value);

    /// The slot that Allocate returns when no slot is left.
    static constexpr Key OUT_OF_INDEXES = 0xFFFFFFFF;

    /// A new slot; with a callback, the slot carries the process's clean-up callback. Returns
    /// OUT_OF_INDEXES when no slot is left or, after the assertion, when a callback is already
    /// registered.
    static Key Allocate(Callback callback = nullptr);
    /// Gives the slot back; its values are dropped without clean-up.
    static void Free(Key key);
    /// The calling thread's value of the slot.
    static void* GetValue(Key key);
    /// Sets the calling thread's value of the slot.
    static void SetValue(Key key, void* value);

    Tls() = delete;
};

}  // namespace Common
