#include "enterprise/common/async/synchronization_callback.h"

#include <utility>

#include "core/async_service_api/async_service.h"
#include "core/common/assert.h"

namespace Async {
namespace {

// The context of a pass that a hold deferred: the waiter that met the hold has moved on.
constexpr SynchronizationContext kDeferredPassContext = 0;

// The stack in the slot that the async service keeps for each of its threads.
class ServiceCallbackStorage final : public SynchronizationCallbackStorage {
  public:
    explicit ServiceCallbackStorage(std::shared_ptr<AsyncService::Service> service)
        : service_(std::move(service)) {}

    SynchronizationCallback* Top() const override { return service_->TopSynchronizationCallback(); }

  protected:
    void SetTop(SynchronizationCallback* top) override {
        service_->SetTopSynchronizationCallback(top);
    }

  private:
    const std::shared_ptr<AsyncService::Service> service_;
};

}  // namespace

void SynchronizationCallback::SetNext(SynchronizationCallback* next) noexcept {
    COMMON_ASSERT_TEXT(next_ == nullptr, "Next == 0");
    if (next_ == nullptr) {
        next_ = next;
    }
}

void SynchronizationCallbackStorage::Push(SynchronizationCallback& callback) {
    SynchronizationCallback* const top = Top();
    const bool wasHeld = callback.holdCount_ > 0;
    if (top != nullptr) {
        callback.holdCount_ += top->holdCount_;
    }
    if (wasHeld && callback.holdCount_ <= 0 && callback.callCount_ > 0) {
        Synchronize(kDeferredPassContext, &callback);
    }
    callback.SetNext(top);
    SetTop(&callback);
}

void SynchronizationCallbackStorage::Pop() {
    SynchronizationCallback* const popped = Top();
    COMMON_ASSERT_TEXT(popped != nullptr, "Pop on an empty synchronisation callback stack.");
    if (popped == nullptr) {
        return;
    }
    SynchronizationCallback* const uncovered = std::exchange(popped->next_, nullptr);
    SetTop(uncovered);
    if (uncovered == nullptr) {
        return;
    }
    const bool wasHeld = uncovered->holdCount_ > 0;
    uncovered->holdCount_ = popped->holdCount_;
    if (wasHeld && uncovered->holdCount_ <= 0 && uncovered->callCount_ > 0) {
        Synchronize(kDeferredPassContext, uncovered);
    }
}

void SynchronizationCallbackStorage::Unlink(SynchronizationCallback& callback) {
    SynchronizationCallback* above = nullptr;
    for (SynchronizationCallback* entry = Top(); entry != nullptr; entry = entry->next_) {
        if (entry == &callback) {
            if (above == nullptr) {
                SetTop(callback.next_);
            } else {
                above->next_ = callback.next_;
            }
            callback.next_ = nullptr;
            return;
        }
        above = entry;
    }
}

void SynchronizationCallbackStorage::Synchronize(SynchronizationContext context) {
    Synchronize(context, Top());
}

void SynchronizationCallbackStorage::Hold() {
    if (SynchronizationCallback* const top = Top()) {
        ++top->holdCount_;
    }
}

void SynchronizationCallbackStorage::Release() {
    SynchronizationCallback* const top = Top();
    if (top == nullptr) {
        return;
    }
    const bool wasHeld = top->holdCount_ > 0;
    --top->holdCount_;
    if (wasHeld && top->holdCount_ <= 0 && top->callCount_ > 0) {
        Synchronize(kDeferredPassContext, top);
    }
}

// A callback may push and pop callbacks of its own while it runs; they sit above it and leave
// its link to the next one as it was.
void SynchronizationCallbackStorage::Synchronize(SynchronizationContext context,
                                                 SynchronizationCallback* from) {
    for (SynchronizationCallback* callback = from; callback != nullptr;
         callback = callback->next_) {
        ++callback->callCount_;
        if (callback->holdCount_ > 0 || callback->Synchronize(context)) {
            return;
        }
    }
}

TlsSynchronizationCallbackStorage::TlsSynchronizationCallbackStorage()
    : key_(Common::Tls::Allocate()) {}

TlsSynchronizationCallbackStorage::~TlsSynchronizationCallbackStorage() {
    Common::Tls::Free(key_);
}

SynchronizationCallback* TlsSynchronizationCallbackStorage::Top() const {
    return static_cast<SynchronizationCallback*>(Common::Tls::GetValue(key_));
}

void TlsSynchronizationCallbackStorage::SetTop(SynchronizationCallback* top) {
    Common::Tls::SetValue(key_, top);
}

// The thread-local storage is made on first use and never destroyed: threads may still be
// popping callbacks while the process exits.
std::shared_ptr<SynchronizationCallbackStorage> CurrentSynchronizationCallbackStorage() {
    if (std::shared_ptr<AsyncService::Service> service = AsyncService::GetAsyncService()) {
        return std::make_shared<ServiceCallbackStorage>(std::move(service));
    }
    static TlsSynchronizationCallbackStorage* const threadLocal =
        new TlsSynchronizationCallbackStorage;
    return std::shared_ptr<SynchronizationCallbackStorage>(
        std::shared_ptr<SynchronizationCallbackStorage>(), threadLocal);
}

ScopedSynchronizationCallback::ScopedSynchronizationCallback()
    : storage_(CurrentSynchronizationCallbackStorage()) {
    storage_->Push(*this);
}

ScopedSynchronizationCallback::~ScopedSynchronizationCallback() {
    if (storage_->Top() == this) {
        storage_->Pop();
        return;
    }
    COMMON_ASSERT_TEXT(false, "Synchronisation callback destroyed out of nesting order.");
    storage_->Unlink(*this);
}

ScopedSynchronizationHold::ScopedSynchronizationHold()
    : storage_(CurrentSynchronizationCallbackStorage()), held_(storage_->Top() != nullptr) {
    storage_->Hold();
}

ScopedSynchronizationHold::~ScopedSynchronizationHold() {
    if (held_) {
        storage_->Release();
    }
}

}  // namespace Async
