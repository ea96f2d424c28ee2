// Async::Detail::LifeCycleCompletion: a shared-pointer deleter that keeps two other objects alive
// as long as the managed one.
//
//   std::shared_ptr<Job> job(new RunnerJob(...),
//                            Async::Detail::LifeCycleCompletion<RunnerJob>(owner, handler));
//
// When the last reference to the managed object goes, the deleter destroys the object, then
// releases the companion (a handler, a reader) and last the owner, which may own the companion.
//
// Thread-safety: as std::shared_ptr; the releases run on the thread that drops the last reference.
#pragma once

#include <memory>
#include <utility>

namespace Async::Detail {

/// See the file comment.
template <typename Managed>
class LifeCycleCompletion {
  public:
    LifeCycleCompletion(std::shared_ptr<const void> owner, std::shared_ptr<const void> companion)
        : owner_(std::move(owner)), companion_(std::move(companion)) {}

    void operator()(Managed* managed) noexcept {
        delete managed;
        companion_.reset();
        owner_.reset();
    }

  private:
    std::shared_ptr<const void> owner_;
    std::shared_ptr<const void> companion_;
};

}  // namespace Async::Detail
