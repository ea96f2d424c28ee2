// Async::ActionExecutor: something that takes actions and runs them its own way (one after another,
// for a sequence).
//
// Thread-safety: set by the executor.
#pragma once

#include <memory>

#include "core/common/noncopyable.h"
#include "enterprise/common/async/action.h"

namespace Async {

/// See the file comment.
class ActionExecutor : private Common::NonCopyable {
  public:
    virtual ~ActionExecutor() = default;
    /// Takes `action` to be run by this executor.
    virtual void Add(std::shared_ptr<Action> action) = 0;
};

}  // namespace Async
