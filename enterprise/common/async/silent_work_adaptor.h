// Async::SilentWorkAdaptor: work that calls a member function of a shared object and reports
// success whatever happens inside, for work whose failures are handled where they occur.
//
//   auto work = std::make_shared<Async::SilentWorkAdaptor<Loop>>(loop, &Loop::Run);
//
// The adaptor keeps the object alive until the work is destroyed.
//
// Thread-safety: as safe as the member function called.
#pragma once

#include <memory>
#include <utility>

#include "core/common/error/error.h"
#include "enterprise/common/async/work.h"

namespace Async {

/// See the file comment.
template <typename Object>
class SilentWorkAdaptor final : public Work {
  public:
    using Method = void (Object::*)();

    SilentWorkAdaptor(std::shared_ptr<Object> object, Method method)
        : object_(std::move(object)), method_(method) {}

    Common::Error Execute() override {
        ((*object_).*method_)();
        return Common::Error();
    }

  private:
    const std::shared_ptr<Object> object_;
    const Method method_;
};

}  // namespace Async
