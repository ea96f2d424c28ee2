// Actions, jobs and handlers that the tests drive by hand, and a tracer that keeps what it sees.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/common/trace.h"
#include "core/common/win/event.h"
#include "enterprise/common/async/action_adaptors.h"
#include "enterprise/common/async/action_sequence.h"
#include "enterprise/common/async/finished_job.h"
#include "enterprise/common/async/work.h"

namespace AsyncTest {

inline Common::Error Failure(uint32_t code) {
    return Common::Error(COMMON_PLACE("AsyncTest::Failure"), code);
}

/// Keeps every result it hears; `then`, when set, runs after each one, before Wait returns.
struct RecordingHandler : Async::ActionHandler {
    void Completed(const Common::Error& error) override {
        {
            std::lock_guard<std::mutex> hold(lock);
            results.push_back(error);
        }
        if (then)
            then(error);
        heard.Set();  // last: the waiter may destroy the handler
    }
    std::vector<Common::Error> Results() {
        std::lock_guard<std::mutex> hold(lock);
        return results;
    }
    int Calls() { return static_cast<int>(Results().size()); }
    Common::Error Last() { return Calls() == 0 ? Common::Error() : Results().back(); }
    void Wait() { heard.Wait(); }

    std::function<void(const Common::Error&)> then;
    std::mutex lock;
    std::vector<Common::Error> results;
    Common::Event heard{Common::Event::ResetMode::Auto, false};
};

/// A job that completes when the test says so; `onCancel`, when set, runs inside Cancel.
struct ManualJob : Async::BaseJob {
    ManualJob(Async::ActionHandler& h, std::atomic<int>& c) : handler(h), cancels(c) {}
    void Complete(const Common::Error& error) { handler.Completed(error); }
    void Cancel() override {
        ++cancels;
        if (onCancel)
            onCancel(*this);
    }
    Async::ActionHandler& handler;
    std::atomic<int>& cancels;
    std::function<void(ManualJob&)> onCancel;
};

/// Makes a ManualJob on each Perform and runs `during` on it; returns it unless `returnNull`.
struct ManualAction : Async::Action {
    std::shared_ptr<Async::Job> Perform(Async::ActionHandler& handler) override {
        ++performs;
        job = std::make_shared<ManualJob>(handler, cancels);
        job->onCancel = onCancel;
        if (during)
            during(*job);
        return returnNull ? nullptr : job;
    }
    std::function<void(ManualJob&)> during, onCancel;
    bool returnNull = false;
    std::shared_ptr<ManualJob> job;  // the last one made
    int performs = 0;
    std::atomic<int> cancels{0};  // of every job made
};

/// A sequence that starts again after its last step.
struct CyclicSequence : Async::ActionSequence {
    bool IsCyclic() const override { return true; }
};

/// An action whose job ends inside Perform with what `result()` says.
inline std::shared_ptr<Async::Action> Synchronous(std::function<Common::Error()> result) {
    return Async::MakeAction(
        [result](Async::ActionHandler& h) { return Async::AlreadyFailedJob(h, result()); });
}

/// Completes with success at once; the job runs `onRelease` as its end's delivery lets it go.
inline std::shared_ptr<Async::Job> CompleteWithReleaseHook(Async::ActionHandler& handler,
                                                           std::function<void()> onRelease) {
    struct HookJob : Async::BaseJob {
        ~HookJob() override { onRelease(); }
        void Cancel() override {}
        std::function<void()> onRelease;
    };
    auto job = std::make_shared<HookJob>();
    job->onRelease = std::move(onRelease);
    handler.Completed(Common::Error());
    return job;
}

/// An action whose job runs `body` as work, which succeeds unless `body` throws.
inline std::shared_ptr<Async::Action> OnServiceThread(std::function<void()> body) {
    struct FunctionWork : Async::Work {
        Common::Error Execute() override {
            body();
            return Common::Error();
        }
        std::function<void()> body;
    };
    auto work = std::make_shared<FunctionWork>();
    work->body = std::move(body);
    return Async::MakeAction([work](Async::ActionHandler& h) { return ExecuteWork(work, h); });
}

/// Keeps the errors traced and the assertion texts (level 5) while it is installed.
struct ScopedTraceCapture : Common::Tracer {
    ~ScopedTraceCapture() override { Common::SetTracer(previous); }
    void OnText(uint32_t, uint32_t level, uint32_t, uint32_t,
                std::u16string_view text) noexcept override {
        std::lock_guard<std::mutex> hold(lock);
        if (level == 5)
            texts.emplace_back(text);
    }
    void OnError(uint32_t, uint32_t level, const Common::Error& error) noexcept override {
        std::lock_guard<std::mutex> hold(lock);
        errors.emplace_back(level, error);
    }
    std::vector<std::pair<uint32_t, Common::Error>> Errors() {
        std::lock_guard<std::mutex> hold(lock);
        return errors;
    }
    /// How many assertion texts were traced.
    size_t Assertions() {
        std::lock_guard<std::mutex> hold(lock);
        return texts.size();
    }
    std::mutex lock;
    std::vector<std::u16string> texts;
    std::vector<std::pair<uint32_t, Common::Error>> errors;
    const std::shared_ptr<Common::Tracer> previous =
        Common::SetTracer({std::shared_ptr<void>(), this});
};

}  // namespace AsyncTest
