// Tasks for the tests of the async service: each records which of its calls came, and where.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/async_service_api/async_service.h"
#include "core/common/trace.h"

namespace AsyncServiceTest {

/// What happened to one task.
struct TaskRecord {
    std::atomic<int> runs{0};
    std::atomic<int> abandons{0};
    std::thread::id thread;  // written by the one call, read after it was awaited

    int Calls() const { return runs.load() + abandons.load(); }
};

/// Calls `then` after recording a Run or an Abandon.
class RecordingTask : public AsyncService::Task {
  public:
    explicit RecordingTask(TaskRecord& record, std::function<void()> then = {})
        : record_(record), then_(std::move(then)) {}

    void Run() noexcept override {
        record_.thread = std::this_thread::get_id();
        record_.runs.fetch_add(1);
        Then();
    }
    void Abandon() noexcept override {
        record_.thread = std::this_thread::get_id();
        record_.abandons.fetch_add(1);
        Then();
    }

  private:
    void Then() {
        if (then_) {
            then_();
        }
    }

    TaskRecord& record_;
    const std::function<void()> then_;
};

inline std::unique_ptr<AsyncService::Task> Record(TaskRecord& record,
                                                  std::function<void()> then = {}) {
    return std::make_unique<RecordingTask>(record, std::move(then));
}

/// Collects the assertion texts (trace level 5) while installed as the tracer.
class AssertionTexts : public Common::Tracer {
  public:
    void OnText(uint32_t, uint32_t level, uint32_t, uint32_t,
                std::u16string_view text) noexcept override {
        if (level == 5) {
            std::lock_guard<std::mutex> hold(lock_);
            texts_.emplace_back(text);
        }
    }
    void OnError(uint32_t, uint32_t, const Common::Error&) noexcept override {}

    /// How many texts contain `part`.
    int Count(std::u16string_view part) {
        std::lock_guard<std::mutex> hold(lock_);
        int count = 0;
        for (const std::u16string& text : texts_) {
            count += text.find(part) != std::u16string::npos ? 1 : 0;
        }
        return count;
    }

  private:
    std::mutex lock_;
    std::vector<std::u16string> texts_;
};

}  // namespace AsyncServiceTest
