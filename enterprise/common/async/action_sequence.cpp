#include "enterprise/common/async/action_sequence.h"

#include <utility>

#include "core/common/assert.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/tail_recursion.h"

namespace Async {

// One run of the sequence. Its index moves only in Completed; the controller's lock hands it to
// the loop that runs the next step, on whichever thread that is.
class ActionSequence::ActionSequenceJob final
    : public BaseJob,
      private ActionHandler,
      private TailRecursionController,
      public std::enable_shared_from_this<ActionSequence::ActionSequenceJob> {
  public:
    ActionSequenceJob(std::shared_ptr<const Actions> actions, bool cyclic, ActionHandler& handler)
        : actions_(std::move(actions)), cyclic_(cyclic), handler_(handler) {}

    void Start() { RequestStep(); }

    void Cancel() override { control_.Cancel(); }

  private:
    std::shared_ptr<TailRecursionController> GetSelf() override {
        return std::shared_ptr<TailRecursionController>(shared_from_this(), this);
    }

    void Step() override { control_.Run(*(*actions_)[index_], this, this); }

    void Completed(const Common::Error& error) override {
        if (!error.IsEmpty()) {
            handler_.Completed(SequenceResult(error, cyclic_));
            return;
        }
        if (++index_ == actions_->size()) {
            if (!cyclic_) {
                handler_.Completed(Common::Error());
                return;
            }
            index_ = 0;
        }
        RequestStep();
    }

    const std::shared_ptr<const Actions> actions_;
    size_t index_ = 0;
    const bool cyclic_;
    ActionHandler& handler_;
    JobControl control_;
};

ActionSequence::ActionSequence() : actions_(std::make_shared<Actions>()) {}

void ActionSequence::Add(std::shared_ptr<Action> action) {
    COMMON_ASSERT_TEXT(action != nullptr, "A sequence takes no null action.");
    if (action != nullptr) {
        actions_->push_back(std::move(action));
    }
}

std::shared_ptr<Job> ActionSequence::Perform(ActionHandler& handler) {
    if (actions_->empty()) {
        handler.Completed(Common::Error());
        return nullptr;
    }
    auto job = std::make_shared<ActionSequenceJob>(actions_, IsCyclic(), handler);
    job->Start();
    return job;
}

}  // namespace Async
