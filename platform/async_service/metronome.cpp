#include "platform/async_service/metronome.h"

#include <new>
#include <system_error>
#include <utility>

#include "core/common/error/error.h"
#include "platform/async_service/service_messages.h"

namespace AsyncService {

// One scheduled task. While it waits, the entry owns the task and `position` is its place in the
// timeline; both are guarded by the timeline's mutex.
class Metronome::Entry : public TimerHandle {
  public:
    explicit Entry(std::shared_ptr<Timeline> timeline) : timeline_(std::move(timeline)) {}

    bool Cancel() noexcept override {
        std::unique_ptr<Task> task;
        {
            std::lock_guard<std::mutex> hold(timeline_->mutex);
            if (task_ == nullptr) {
                return false;  // handed on, abandoned by Stop, or canceled before
            }
            timeline_->waiting.erase(position_);
            task = std::move(task_);
        }
        task->Abandon();
        return true;
    }

  private:
    friend class Metronome;

    const std::shared_ptr<Timeline> timeline_;
    std::unique_ptr<Task> task_;
    Waiting::iterator position_;
};

Metronome::Metronome(ThreadPool& pool) : pool_(pool), timeline_(std::make_shared<Timeline>()) {
    try {
        thread_ = std::thread(&Metronome::TimerMain, this);
    } catch (const std::system_error& e) {
        throw Common::Error(COMMON_PLACE("AsyncService::Metronome::Metronome"), kThreadStartFailed,
                            kThreadStartFailedText)
            .AddWindowsError(static_cast<uint32_t>(e.code().value()));
    }
}

Metronome::~Metronome() {
    Stop();
}

std::shared_ptr<TimerHandle> Metronome::Schedule(std::chrono::milliseconds delay,
                                                 std::unique_ptr<Task> task) noexcept {
    const Clock::time_point due = Clock::now() + delay;
    try {
        auto entry = std::make_shared<Entry>(timeline_);
        std::lock_guard<std::mutex> hold(timeline_->mutex);
        if (!timeline_->stopping) {
            entry->position_ = timeline_->waiting.emplace(due, entry);
            entry->task_ = std::move(task);
            if (entry->position_ == timeline_->waiting.begin()) {
                timeline_->changed.notify_one();  // the timer thread waits for a later time
            }
            return entry;
        }
    } catch (const std::bad_alloc&) {
        // the task is still ours: abandoned below
    }
    task->Abandon();
    return nullptr;
}

void Metronome::TimerMain() noexcept {
    Timeline& timeline = *timeline_;
    std::unique_lock<std::mutex> lock(timeline.mutex);
    while (!timeline.stopping) {
        if (timeline.waiting.empty()) {
            timeline.changed.wait(lock);
            continue;
        }
        const auto first = timeline.waiting.begin();
        // A copy: the entry may leave the timeline while this thread waits.
        const Clock::time_point due = first->first;
        if (Clock::now() < due) {
            timeline.changed.wait_until(lock, due);
            continue;
        }
        std::unique_ptr<Task> task = std::move(first->second->task_);
        timeline.waiting.erase(first);
        lock.unlock();
        pool_.Submit(std::move(task));
        lock.lock();
    }
}

void Metronome::Stop() noexcept {
    std::unique_lock<std::mutex> lock(timeline_->mutex);
    timeline_->stopping = true;
    timeline_->changed.notify_all();
    // One task at a time, outside the lock: abandoning may schedule again (and be abandoned).
    while (!timeline_->waiting.empty()) {
        const auto first = timeline_->waiting.begin();
        std::unique_ptr<Task> task = std::move(first->second->task_);
        timeline_->waiting.erase(first);
        lock.unlock();
        task->Abandon();
        task.reset();
        lock.lock();
    }
    lock.unlock();
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace AsyncService
