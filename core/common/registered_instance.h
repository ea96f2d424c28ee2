// Common::RegisteredInstance: the one implementation of an interface that a platform layer
// registers for the whole program (the async service, the IPC client library).
//
//   Common::RegisteredInstance<Service>::Get()               the registered one; null if none
//   Common::RegisteredInstance<Service>::Exchange(service)   registers, returns the previous one
//
// The slot of each interface is made on first use and never destroyed: no static destructor may
// release the last reference to an implementation that still owns threads, whose destruction
// would join them while the process exits.
//
// Thread-safety: Get and Exchange may be called from any thread at any time.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace Common {

/// See the file comment.
template <class Interface>
class RegisteredInstance {
  public:
    /// The registered implementation; null when none is.
    static std::shared_ptr<Interface> Get() noexcept {
        Slot& slot = TheSlot();
        std::lock_guard<std::mutex> hold(slot.lock);
        return slot.instance;
    }

    /// Registers `instance` (null unregisters) and returns the one registered before.
    static std::shared_ptr<Interface> Exchange(std::shared_ptr<Interface> instance) noexcept {
        Slot& slot = TheSlot();
        std::lock_guard<std::mutex> hold(slot.lock);
        return std::exchange(slot.instance, std::move(instance));
    }

  private:
    struct Slot {
        std::mutex lock;
        std::shared_ptr<Interface> instance;
    };

    static Slot& TheSlot() noexcept {
        static Slot* const slot = new Slot;
        return *slot;
    }
};

}  // namespace Common
