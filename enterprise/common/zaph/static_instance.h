// StaticInstance<T>: a holder of an object created on first use.
//
// The first Get calls the creator and publishes its object with one atomic compare-and-swap.
// Threads that race on the first Get may each create an object; exactly one is published, the
// others are destroyed at once, and every caller gets the published one. The holder destroys
// the object when it is destroyed. A creator that returns null raises
// "ZAPH: An internal error has occurred." (Errors::kGeneral) and publishes nothing.
//
// Thread-safety: Get may run on any number of threads at once; the creator must be safe to run
// concurrently with itself.
#pragma once

#include <atomic>
#include <memory>

#include "core/common/catalog.h"
#include "core/common/noncopyable.h"
#include "enterprise/common/zaph/errors.h"

namespace Zaph::Util {

template <class T>
class StaticInstance : private Common::NonCopyable {
  public:
    using Creator = std::unique_ptr<T> (*)();

    explicit StaticInstance(Creator creator) : creator_(creator) {}
    ~StaticInstance() { delete instance_.load(std::memory_order_acquire); }

    /// The object, created on the first call.
    T& Get() {
        T* published = instance_.load(std::memory_order_acquire);
        if (published != nullptr) {
            return *published;
        }
        std::unique_ptr<T> created = creator_();
        if (created == nullptr) {
            throw Zaph::Detail::MakeError(COMMON_PLACE("Zaph::Util::StaticInstance::Get"),
                                          Errors::kGeneral, Common::kMsgZaphInternalError);
        }
        if (instance_.compare_exchange_strong(published, created.get(), std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
            return *created.release();
        }
        return *published;  // another thread won; `created` is destroyed
    }

  private:
    Creator creator_;
    std::atomic<T*> instance_{nullptr};
};

}  // namespace Zaph::Util
