// Actions made from functions.
//
//   auto action = Async::MakeAction([&](Async::ActionHandler& h) { return StartRead(h); });
//   auto owning = Async::MakeAction(
//       [](Request& request, Async::ActionHandler& h) { return request.Send(h); }, Request{...});
//   Async::ActionRefAdaptor<Reader> read(reader, &Reader::Read);
//
// MakeAction's adaptors own their function and, when given, the data the function works on: the
// data lives as long as the action. ActionRefAdaptor calls a member function of an object that it
// does not own; the object must outlive the adaptor's use.
//
// Thread-safety: as safe as the function called.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include "enterprise/common/async/action.h"
#include "enterprise/common/async/job.h"

namespace Async {

/// The data of an adaptor that has none.
struct EmptyData {};

namespace Detail {

/// Owns the function that an adaptor calls.
template <typename Function>
class BaseActionAdaptor : public Action {
  protected:
    explicit BaseActionAdaptor(Function function) : function_(std::move(function)) {}

    Function function_;
};

/// Perform calls `function(handler)`, or `function(data, handler)` when there is data.
template <typename Function, typename Data = EmptyData>
class ActionAdaptor final : public BaseActionAdaptor<Function> {
  public:
    ActionAdaptor(Function function, Data data)
        : BaseActionAdaptor<Function>(std::move(function)), data_(std::move(data)) {}

    std::shared_ptr<Job> Perform(ActionHandler& handler) override {
        if constexpr (std::is_same_v<Data, EmptyData>) {
            return this->function_(handler);
        } else {
            return this->function_(data_, handler);
        }
    }

  private:
    [[no_unique_address]] Data data_;
};

}  // namespace Detail

/// An action whose Perform calls `function(handler)`.
template <typename Function>
std::shared_ptr<Action> MakeAction(Function function) {
    return std::make_shared<Detail::ActionAdaptor<Function>>(std::move(function), EmptyData{});
}

/// An action that owns `data` and whose Perform calls `function(data, handler)`.
template <typename Function, typename Data>
std::shared_ptr<Action> MakeAction(Function function, Data data) {
    return std::make_shared<Detail::ActionAdaptor<Function, Data>>(std::move(function),
                                                                   std::move(data));
}

/// An action whose Perform calls `(object.*method)(handler)` on an object it does not own.
template <typename Object>
class ActionRefAdaptor final : public Action {
  public:
    using Method = std::shared_ptr<Job> (Object::*)(ActionHandler&);

    ActionRefAdaptor(Object& object, Method method) : object_(object), method_(method) {}

    std::shared_ptr<Job> Perform(ActionHandler& handler) override {
        return (object_.*method_)(handler);
    }

  private:
    Object& object_;
    const Method method_;
};

}  // namespace Async
