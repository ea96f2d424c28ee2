// Steps for sequences and cyclic runs that the tests drive, and a probe of how deep the stack
// grows under them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "core/common/error/error.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/async/action_adaptors.h"
#include "enterprise/common/async/finished_job.h"
#include "enterprise/common/async/job.h"
#include "enterprise/common/async/work.h"

namespace AsyncTest {

/// The deepest any thread's stack went below the first frame recorded on that thread (a loop may
/// move to another thread on the way). Call Record from the frames to measure; the frame address
/// is the real one also under AddressSanitizer's fake stacks.
class StackProbe {
  public:
    __attribute__((always_inline)) void Record() {
        const auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        std::lock_guard<std::mutex> hold(lock_);
        const uintptr_t first =
            firstFrames_.emplace(std::this_thread::get_id(), frame).first->second;
        if (first > frame && first - frame > deepest_) {
            deepest_ = first - frame;
        }
    }
    uintptr_t Deepest() const {
        std::lock_guard<std::mutex> hold(lock_);
        return deepest_;
    }

  private:
    mutable std::mutex lock_;
    std::map<std::thread::id, uintptr_t> firstFrames_;
    uintptr_t deepest_ = 0;
};

/// An action whose job ends inside Perform with what `result(run)` says (run counts from 1).
class SynchronousAction : public Async::Action {
  public:
    explicit SynchronousAction(std::function<Common::Error(int run)> result = nullptr,
                               StackProbe* probe = nullptr)
        : result_(std::move(result)), probe_(probe) {}

    std::shared_ptr<Async::Job> Perform(Async::ActionHandler& handler) override {
        const int run = runs.fetch_add(1) + 1;
        if (probe_ != nullptr) {
            probe_->Record();
        }
        return Async::AlreadyFailedJob(handler, result_ ? result_(run) : Common::Error());
    }

    std::atomic<int> runs{0};

  private:
    const std::function<Common::Error(int run)> result_;
    StackProbe* const probe_;
};

/// A finished job that runs `onRelease` when the last reference to it goes: the moment its job
/// control and its runner are done with it, just after the job's end was delivered.
class ReleaseHookJob : public Async::BaseJob {
  public:
    explicit ReleaseHookJob(std::function<void()> onRelease) : onRelease_(std::move(onRelease)) {}
    ~ReleaseHookJob() override {
        if (onRelease_) {
            onRelease_();
        }
    }
    void Cancel() override {}

  private:
    const std::function<void()> onRelease_;
};

/// An action that completes inside Perform with success and returns a ReleaseHookJob.
inline std::shared_ptr<Async::Job> CompleteWithReleaseHook(Async::ActionHandler& handler,
                                                           std::function<void()> onRelease) {
    auto job = std::make_shared<ReleaseHookJob>(std::move(onRelease));
    handler.Completed(Common::Error());
    return job;
}

/// Work that runs a function.
class FunctionWork : public Async::Work {
  public:
    explicit FunctionWork(std::function<Common::Error()> body) : body_(std::move(body)) {}
    Common::Error Execute() override { return body_(); }

  private:
    const std::function<Common::Error()> body_;
};

/// An action whose job runs `body` through the service's work execution: on a service thread
/// when a service is registered, else at once.
inline std::shared_ptr<Async::Action> OnServiceThread(std::function<Common::Error()> body) {
    auto work = std::make_shared<FunctionWork>(std::move(body));
    return Async::MakeAction(
        [work](Async::ActionHandler& handler) { return Async::ExecuteWork(work, handler); });
}

inline Common::Error Failure(uint32_t code) {
    return Common::Error(COMMON_PLACE("AsyncTest::Failure"), code);
}

}  // namespace AsyncTest
