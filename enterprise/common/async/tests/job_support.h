// Actions, jobs and handlers that the tests drive by hand, and a tracer that keeps what it sees.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/trace.h"
#include "core/common/win/event.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/async/job.h"

namespace AsyncTest {

/// Keeps every result it hears; `then`, when set, runs after each one, before Wait returns.
class RecordingHandler : public Async::ActionHandler {
  public:
    void Completed(const Common::Error& error) override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            results_.push_back(error);
            thread_ = std::this_thread::get_id();
        }
        // The waiter may destroy this handler as soon as the event is set: set it last, also
        // when `then` throws.
        struct SetOnExit {
            ~SetOnExit() { event.Set(); }
            Common::Event& event;
        } setOnExit{heard_};
        if (then) {
            then(error);
        }
    }

    int Calls() const {
        std::lock_guard<std::mutex> hold(lock_);
        return static_cast<int>(results_.size());
    }
    Common::Error Last() const {
        std::lock_guard<std::mutex> hold(lock_);
        return results_.empty() ? Common::Error() : results_.back();
    }
    std::thread::id Thread() const {
        std::lock_guard<std::mutex> hold(lock_);
        return thread_;
    }
    /// Returns once a result was heard since the last Wait.
    void Wait() { heard_.Wait(); }

    std::function<void(const Common::Error&)> then;

  private:
    mutable std::mutex lock_;
    std::vector<Common::Error> results_;
    std::thread::id thread_;
    Common::Event heard_{Common::Event::ResetMode::Auto, false};
};

/// A job that completes when the test says so; `onCancel`, when set, runs inside Cancel.
class ManualJob : public Async::BaseJob {
  public:
    explicit ManualJob(Async::ActionHandler& handler) : handler_(handler) {}

    void Complete(const Common::Error& error) { handler_.Completed(error); }

    void Cancel() override {
        cancels.fetch_add(1);
        if (onCancel) {
            onCancel(*this);
        }
    }

    std::function<void(ManualJob&)> onCancel;
    std::atomic<int> cancels{0};

  private:
    Async::ActionHandler& handler_;
};

/// Makes a ManualJob on each Perform; `during` runs inside Perform, then `fail` (which may throw),
/// then the job is returned (or null with `returnNull`).
class ManualAction : public Async::Action {
  public:
    std::shared_ptr<Async::Job> Perform(Async::ActionHandler& handler) override {
        ++performs;
        job = std::make_shared<ManualJob>(handler);
        job->onCancel = onCancel;
        if (during) {
            during(*job);
        }
        if (fail) {
            fail();
        }
        return returnNull ? nullptr : job;
    }

    std::function<void(ManualJob&)> during;
    std::function<void()> fail;
    std::function<void(ManualJob&)> onCancel;
    bool returnNull = false;
    std::shared_ptr<ManualJob> job;  // the last one made
    int performs = 0;
};

/// Keeps the errors traced and the assertion texts (level 5) while installed.
class TraceCapture : public Common::Tracer {
  public:
    struct Traced {
        uint32_t level;
        Common::Error error;
    };

    void OnText(uint32_t, uint32_t level, uint32_t, uint32_t,
                std::u16string_view text) noexcept override {
        if (level == 5) {
            std::lock_guard<std::mutex> hold(lock_);
            assertions_.emplace_back(text);
        }
    }
    void OnError(uint32_t, uint32_t level, const Common::Error& error) noexcept override {
        std::lock_guard<std::mutex> hold(lock_);
        errors_.push_back({level, error});
    }

    std::vector<Traced> Errors() const {
        std::lock_guard<std::mutex> hold(lock_);
        return errors_;
    }
    /// How many assertion texts contain `part`.
    int Assertions(std::u16string_view part) const {
        std::lock_guard<std::mutex> hold(lock_);
        int count = 0;
        for (const std::u16string& text : assertions_) {
            count += text.find(part) != std::u16string::npos ? 1 : 0;
        }
        return count;
    }
    int AssertionCount() const {
        std::lock_guard<std::mutex> hold(lock_);
        return static_cast<int>(assertions_.size());
    }

  private:
    mutable std::mutex lock_;
    std::vector<Traced> errors_;
    std::vector<std::u16string> assertions_;
};

/// Installs a TraceCapture for its lifetime.
class ScopedTraceCapture {
  public:
    ScopedTraceCapture()
        : capture_(std::make_shared<TraceCapture>()), previous_(Common::SetTracer(capture_)) {}
    ~ScopedTraceCapture() { Common::SetTracer(previous_); }

    TraceCapture& operator*() const { return *capture_; }
    TraceCapture* operator->() const { return capture_.get(); }

  private:
    std::shared_ptr<TraceCapture> capture_;
    std::shared_ptr<Common::Tracer> previous_;
};

}  // namespace AsyncTest
