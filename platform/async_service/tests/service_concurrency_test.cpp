#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/common/trace.h"
#include "core/common/win/event.h"
#include "platform/async_service/platform_service.h"

namespace {

using AsyncService::ThreadPool;
using Common::Event;
using std::chrono::milliseconds;

// Tasks that note "<name><r or a>" for Run or Abandon, and "!" on the test's thread, then `then`.
struct Log {
    std::unique_ptr<AsyncService::Task> Task(char name, std::function<void()> then = {}) {
        struct Noting : AsyncService::Task {
            void Run() noexcept override { Note('r'); }
            void Abandon() noexcept override { Note('a'); }
            void Note(char call) {
                log->Text({name, call, std::this_thread::get_id() == log->self ? '!' : ' '});
                then ? then() : void();
            }
            Log* log;
            char name;
            std::function<void()> then;
        };
        auto task = std::make_unique<Noting>();
        task->log = this, task->name = name, task->then = std::move(then);
        return task;
    }
    std::string Text(const std::string& entry = {}) {
        std::lock_guard<std::mutex> hold(lock);
        return text += entry;
    }
    std::mutex lock;
    std::string text;
    const std::thread::id self = std::this_thread::get_id();
};

// Tasks run in submission order on a worker. Stop abandons the tasks still queued, in order, on
// the stopping thread, before it joins the running one (which waits for the last of them here);
// tasks submitted from then on are abandoned where they are submitted. A worker cannot stop it.
TEST(ThreadPool, RunsInOrderAndStopAbandonsTheQueueBeforeJoining) {
    struct Texts : Common::Tracer {  // stopping from a worker is refused with an assertion
        void OnText(uint32_t, uint32_t, uint32_t, uint32_t,
                    std::u16string_view text) noexcept override {
            found += text.find(u"stopped from one of its own threads") != text.npos ? 1 : 0;
        }
        void OnError(uint32_t, uint32_t, const Common::Error&) noexcept override {}
        std::atomic<int> found{0};
    };
    const auto texts = std::make_shared<Texts>();
    const auto previous = Common::SetTracer(texts);
    Log log;
    Event ran(Event::ResetMode::Manual, false), released(Event::ResetMode::Manual, false);
    ThreadPool pool(1, 0);
    pool.Submit(log.Task('a'));
    pool.Submit(log.Task('b', [&] {
        ran.Set(), released.Wait(), pool.Stop();
        pool.Submit(log.Task('l'));
    }));
    ran.Wait();
    pool.Submit(log.Task('c'));
    pool.Submit(log.Task('d', [&] { released.Set(); }));
    pool.Stop();
    pool.Submit(log.Task('e'));
    pool.Stop();
    Common::SetTracer(previous);
    EXPECT_EQ(texts->found.load(), 1);
    EXPECT_EQ(log.Text(), "ar br ca!da!la ea!");
}

// A blocked worker gets a stand-in, up to the bound; nested waits count once, and waits outside
// the pool (or unmatched ends) nothing.
TEST(ThreadPool, BlockedWorkersGetBoundedStandIns) {
    Log log;
    std::atomic<uint32_t> nested{0}, most{0};
    {
        ThreadPool wide(1, 4);
        std::latch done(1);
        wide.Submit(log.Task('n', [&] {
            wide.BeginBlockingWait();
            wide.BeginBlockingWait();
            nested = wide.WorkerCount();
            wide.EndBlockingWait(), wide.EndBlockingWait(), done.count_down();
        }));
        done.wait();
    }
    ThreadPool pool(1, 1);
    pool.BeginBlockingWait();
    pool.EndBlockingWait();
    pool.EndBlockingWait();
    Event blocked(Event::ResetMode::Manual, false), release(Event::ResetMode::Manual, false);
    const auto block = [&] {
        pool.BeginBlockingWait();
        blocked.Set(), release.Wait(), pool.EndBlockingWait();
    };
    pool.Submit(log.Task('a', block));
    blocked.Wait();
    blocked.Reset();
    pool.Submit(log.Task('b', block));  // runs on the stand-in
    blocked.Wait();
    most = pool.WorkerCount();
    Event ran(Event::ResetMode::Manual, false);
    pool.Submit(log.Task('c', [&] { ran.Set(); }));
    release.Set();
    ran.Wait();
    pool.Stop();
    EXPECT_EQ(nested.load() + most.load(), 4u);
    EXPECT_EQ(log.Text(), "nr ar br cr ");
    EXPECT_EQ(pool.WorkerCount(), 0u);
}

// Tasks run on the pool once their delay has passed, in the order their times come. Canceling a
// waiting task abandons it at once on the canceling thread; Stop abandons the waiting ones on the
// stopping thread, and those scheduled after it at once. Handles outlive the metronome.
TEST(Metronome, RunsTasksWhenTheirTimeComesAndAbandonsTheRest) {
    Log log;
    std::latch three(3);
    ThreadPool pool(1, 0);
    auto metronome = std::make_unique<AsyncService::Metronome>(pool);
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> early{false};
    std::shared_ptr<AsyncService::TimerHandle> handles[6];
    for (const int delay : {60, 20, 40}) {
        handles[delay / 20 - 1] =
            metronome->Schedule(milliseconds(delay), log.Task(char('0' + delay / 20), [&, delay] {
                early = early || std::chrono::steady_clock::now() - start < milliseconds(delay);
                three.count_down();
            }));
    }
    handles[3] = metronome->Schedule(std::chrono::hours(1), log.Task('c'));
    handles[4] = metronome->Schedule(std::chrono::hours(2), log.Task('s'));
    EXPECT_TRUE(handles[3]->Cancel());
    EXPECT_FALSE(handles[3]->Cancel());
    three.wait();
    EXPECT_FALSE(handles[0]->Cancel());  // too late: it ran
    metronome->Stop();
    EXPECT_EQ(metronome->Schedule(milliseconds(1), log.Task('x')), nullptr);
    metronome.reset();
    EXPECT_FALSE(handles[4]->Cancel());
    EXPECT_FALSE(early.load());
    EXPECT_EQ(log.Text(), "ca!1r 2r 3r sa!xa!");
}

// The scope registers its service and restores the previous one; each thread has its own callback
// slot, cleared after a task that left it set. Shutdown abandons the waiting timers, then the
// queued tasks, before it joins the running task.
TEST(PlatformService, ScopesSlotsAndShutdownOrder) {
    const auto fake = [](uintptr_t value) {
        return reinterpret_cast<Async::SynchronizationCallback*>(value);
    };
    Log log;
    Event running(Event::ResetMode::Manual, false), queuedGone(Event::ResetMode::Manual, false);
    {
        AsyncService::ScopedAsyncService outer(AsyncService::ServiceOptions{1, 0});
        {
            AsyncService::ScopedAsyncService inner(AsyncService::ServiceOptions{1, 0});
            EXPECT_EQ(AsyncService::GetAsyncService().get(), &inner.Get());
        }
        AsyncService::Service& service = outer.Get();
        EXPECT_EQ(AsyncService::GetAsyncService().get(), &service);
        service.SetTopSynchronizationCallback(fake(0x10));
        service.Submit(log.Task('l', [&] { service.SetTopSynchronizationCallback(fake(8)); }));
        service.Submit(log.Task('b', [&] {
            log.Text(service.TopSynchronizationCallback() == nullptr ? "clear " : "left ");
            running.Set(), queuedGone.Wait();
        }));
        running.Wait();
        EXPECT_EQ(service.TopSynchronizationCallback(), fake(0x10));
        service.SetTopSynchronizationCallback(nullptr);
        service.Submit(log.Task('q', [&] { queuedGone.Set(); }));
        service.Schedule(std::chrono::hours(1), log.Task('t'));
    }
    EXPECT_EQ(AsyncService::GetAsyncService(), nullptr);
    EXPECT_EQ(log.Text(), "lr br clear ta!qa!");
}

}  // namespace
