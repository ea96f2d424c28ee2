// Async::DelegatingActionHandler: a handler that passes each completion on to another handler,
// through a filter.
//
//   class Logged : public Async::DelegatingActionHandler {
//       Common::Error Filter(const Common::Error& e) override { Log(e); return e; }
//   };
//
// Completed(e) hands Filter(e) to the target. A filter that throws a Common::Error hands on the
// thrown error instead, with e as its reason. A handler without a target fails the assertion
// "Handler && \"Invalid Delegating Action Handler state.\"" and drops the result.
//
// Detail::CustomActionFailureHandler runs a function when the completion is a failure, then hands
// the same error on: a clean-up that must happen when an operation fails, whoever hears of it.
//
//   Async::Detail::CustomActionFailureHandler closeOnFailure(&caller, [view] { view->Close(); });
//
// Thread-safety: as safe as the target and the filter; the target must outlive the completion.
#pragma once

#include <utility>

#include "core/common/error/error.h"
#include "enterprise/common/async/action.h"

namespace Async {

/// See the file comment.
class DelegatingActionHandler : public ActionHandler {
  public:
    /// Passes completions on to `target`.
    explicit DelegatingActionHandler(ActionHandler* target) : target_(target) {}

    void Completed(const Common::Error& error) override;

  protected:
    /// What the target hears for `error`; the base hands it on unchanged.
    virtual Common::Error Filter(const Common::Error& error) { return error; }

  private:
    ActionHandler* const target_;
};

namespace Detail {

/// Calls `function()` for a failed completion, then passes the same error on; see the file
/// comment. The function is called at most once per completion and never on success.
template <typename Function>
class CustomActionFailureHandler final : public DelegatingActionHandler {
  public:
    CustomActionFailureHandler(ActionHandler* target, Function function)
        : DelegatingActionHandler(target), function_(std::move(function)) {}

  protected:
    Common::Error Filter(const Common::Error& error) override {
        if (error.Code() != 0) {
            function_();
        }
        return error;
    }

  private:
    Function function_;
};

}  // namespace Detail
}  // namespace Async
