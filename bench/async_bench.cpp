// Jobs per second through Async::JobControl, completed at once inside Perform or on the async
// service's pool, beside a plain std::function queue on std::thread workers doing the same empty
// work. Both pools have two workers; each pool benchmark keeps a batch of jobs in flight and
// waits for the batch to finish.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/common/win/event.h"
#include "enterprise/common/async/action_adaptors.h"
#include "enterprise/common/async/finished_job.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/work.h"
#include "platform/async_service/platform_service.h"

namespace {

constexpr int kBatch = 64;
constexpr uint32_t kWorkers = 2;

// Counts finished jobs down to zero and wakes the waiter then.
class Countdown {
  public:
    void Reset(int count) { remaining_.store(count, std::memory_order_relaxed); }
    void Arrive() {
        if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            done_.Set();
        }
    }
    void Wait() { done_.Wait(); }

  private:
    std::atomic<int> remaining_{0};
    Common::Event done_{Common::Event::ResetMode::Auto, false};
};

class CountingHandler : public Async::ActionHandler {
  public:
    explicit CountingHandler(Countdown* countdown = nullptr) : countdown_(countdown) {}
    void Completed(const Common::Error&) override {
        ++completions;
        if (countdown_ != nullptr) {
            countdown_->Arrive();
        }
    }
    uint64_t completions = 0;

  private:
    Countdown* const countdown_;
};

class EmptyWork : public Async::Work {
  public:
    Common::Error Execute() override { return Common::Error(); }
};

void BM_JobControlSynchronousCompletion(benchmark::State& state) {
    Async::JobControl control;
    CountingHandler handler;
    const auto action =
        Async::MakeAction([](Async::ActionHandler& h) { return Async::AlreadyCompletedJob(h); });
    for (auto _ : state) {
        control.Run(*action, &handler);
    }
    state.SetItemsProcessed(static_cast<int64_t>(handler.completions));
}
BENCHMARK(BM_JobControlSynchronousCompletion);

void BM_JobControlCompletionOnPool(benchmark::State& state) {
    AsyncService::ScopedAsyncService service(AsyncService::ServiceOptions{kWorkers, 0});
    const auto work = std::make_shared<EmptyWork>();
    const auto action =
        Async::MakeAction([&](Async::ActionHandler& h) { return Async::ExecuteWork(work, h); });
    Countdown countdown;
    std::vector<Async::JobControl> controls(kBatch);
    std::vector<std::unique_ptr<CountingHandler>> handlers;
    for (int i = 0; i < kBatch; ++i) {
        handlers.push_back(std::make_unique<CountingHandler>(&countdown));
    }
    for (auto _ : state) {
        countdown.Reset(kBatch);
        for (int i = 0; i < kBatch; ++i) {
            controls[i].Run(*action, handlers[i].get());
        }
        countdown.Wait();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_JobControlCompletionOnPool)->UseRealTime();

// The reference: a mutex-guarded queue of std::function on plain threads.
class FunctionPool {
  public:
    explicit FunctionPool(uint32_t workers) {
        for (uint32_t i = 0; i < workers; ++i) {
            threads_.emplace_back([this] { Work(); });
        }
    }
    ~FunctionPool() {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }
    void Submit(std::function<void()> function) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            queue_.push_back(std::move(function));
        }
        wake_.notify_one();
    }

  private:
    void Work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (!queue_.empty()) {
                std::function<void()> function = std::move(queue_.front());
                queue_.pop_front();
                lock.unlock();
                function();
                lock.lock();
            } else if (stopping_) {
                return;
            } else {
                wake_.wait(lock);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

void BM_StdFunctionQueueOnThreads(benchmark::State& state) {
    FunctionPool pool(kWorkers);
    Countdown countdown;
    for (auto _ : state) {
        countdown.Reset(kBatch);
        for (int i = 0; i < kBatch; ++i) {
            pool.Submit([&countdown] { countdown.Arrive(); });
        }
        countdown.Wait();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_StdFunctionQueueOnThreads)->UseRealTime();

}  // namespace
