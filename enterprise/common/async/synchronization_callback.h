// Synchronisation callbacks: what a thread does just before it blocks.
//
// Each thread keeps a stack of callbacks. A thread about to block (WaitingHandler::Wait) first
// runs the synchronisation pass: from the top of its stack downwards, each callback's Synchronize
// is called with the waiter's context value until one returns true. A callback uses the pass to
// move work that the blocked thread would otherwise owe to somebody else (the step loop of a
// sequence, tail_recursion.h) onto another thread.
//
//   class Flush : public Async::ScopedSynchronizationCallback {
//       bool Synchronize(Async::SynchronizationContext) override { ...; return false; }
//   };
//   { Flush flush; ... waiting.Wait(); ... }   // the wait runs flush.Synchronize first
//
// Holds. A hold (ScopedSynchronizationHold) defers the passes of its thread: a pass that meets a
// held callback counts the call and stops there. The hold count travels with the top of the
// stack: a pushed callback adds the hold count of the old top to its own, and the callback that a
// pop uncovers takes over the hold count of the popped one. When a callback's hold count drops
// from positive to zero or less (by a release, a push or a pop) after a pass met it, the deferred
// pass runs from that callback at once, with context 0.
//
// Storage. The stack lives in a per-thread slot: the async service's slot when a service is
// registered (core/async_service_api), else a process-wide thread-local slot. A scoped callback
// remembers the storage that it was pushed on, and pops itself from the same one.
//
// Thread-safety: a stack belongs to its thread; every call here concerns the calling thread's
// stack only. Callbacks are pushed and popped in strict nesting order.
#pragma once

#include <cstdint>
#include <memory>

#include "core/common/noncopyable.h"
#include "core/common/win/tls.h"

namespace Async {

/// The value that a waiter hands to the callbacks of its pass.
using SynchronizationContext = uintptr_t;

class SynchronizationCallbackStorage;

/// One entry of a thread's stack of callbacks.
class SynchronizationCallback : private Common::NonCopyable {
  public:
    virtual ~SynchronizationCallback() = default;

    /// The callback below this one on its stack; null at the bottom or off the stack.
    SynchronizationCallback* GetNext() const noexcept { return next_; }
    /// Links the callback below; fails the assertion "Next == 0" when one is already linked.
    void SetNext(SynchronizationCallback* next) noexcept;

    /// Called by a pass that reaches this callback; true stops the pass here.
    virtual bool Synchronize(SynchronizationContext context) = 0;

    /// Holds in force while this callback is the top; positive means held.
    int32_t HoldCount() const noexcept { return holdCount_; }
    /// How many passes reached this callback, held or not.
    uint32_t CallCount() const noexcept { return callCount_; }

  private:
    friend class SynchronizationCallbackStorage;

    SynchronizationCallback* next_ = nullptr;
    int32_t holdCount_ = 0;
    uint32_t callCount_ = 0;
};

/// A thread's stack of callbacks; see the file comment.
class SynchronizationCallbackStorage : private Common::NonCopyable {
  public:
    virtual ~SynchronizationCallbackStorage() = default;

    /// The top of the calling thread's stack; null when it is empty.
    virtual SynchronizationCallback* Top() const = 0;

    /// Makes `callback` the top (the hold count rules of the file comment apply).
    void Push(SynchronizationCallback& callback);
    /// Removes the top; the callback below becomes the top and takes over its hold count.
    void Pop();
    /// Takes `callback` out of the stack wherever it is, without running a pass. Only for
    /// callbacks that find themselves out of nesting order.
    void Unlink(SynchronizationCallback& callback);
    /// The synchronisation pass of the calling thread.
    void Synchronize(SynchronizationContext context);

    /// Adds one hold to the top; nothing when the stack is empty.
    void Hold();
    /// Removes one hold from the top, running the deferred pass when that ends the hold.
    void Release();

  protected:
    virtual void SetTop(SynchronizationCallback* top) = 0;

  private:
    // The pass from `from` downwards.
    void Synchronize(SynchronizationContext context, SynchronizationCallback* from);
};

/// The stack in a thread-local slot of its own.
class TlsSynchronizationCallbackStorage final : public SynchronizationCallbackStorage {
  public:
    TlsSynchronizationCallbackStorage();
    ~TlsSynchronizationCallbackStorage() override;

    SynchronizationCallback* Top() const override;

  protected:
    void SetTop(SynchronizationCallback* top) override;

  private:
    const Common::Tls::Key key_;
};

/// The storage of the calling thread: the registered async service's slot, or the process-wide
/// thread-local one when no service is registered.
std::shared_ptr<SynchronizationCallbackStorage> CurrentSynchronizationCallbackStorage();

/// A callback that is on its thread's stack for its lifetime.
class ScopedSynchronizationCallback : public SynchronizationCallback {
  public:
    /// Pushes the callback on the calling thread's stack.
    ScopedSynchronizationCallback();
    /// Pops it; it must be the top (else an assertion, and it is unlinked where it is).
    ~ScopedSynchronizationCallback() override;

  private:
    const std::shared_ptr<SynchronizationCallbackStorage> storage_;
};

/// Holds the passes of the calling thread for its lifetime (see the file comment).
class ScopedSynchronizationHold : private Common::NonCopyable {
  public:
    ScopedSynchronizationHold();
    ~ScopedSynchronizationHold();

  private:
    const std::shared_ptr<SynchronizationCallbackStorage> storage_;
    const bool held_;
};

}  // namespace Async
