// Push-style enumeration: a container hands its items one by one to an item processor, whose
// Process returns true to stop the enumeration.
//
// Thread-safety: a processor is used by the thread that runs the enumeration.
#pragma once

#include <type_traits>
#include <utility>

#include "core/common/noncopyable.h"

namespace Zaph {

/// Receives the items of an enumeration; T carries the constness of the items.
template <class T>
class ItemProcessor : private Common::NonCopyable {
  public:
    virtual ~ItemProcessor() = default;
    /// Handles one item; true stops the enumeration.
    virtual bool Process(T& item) = 0;
};

/// An item processor that calls a function object returning bool.
template <class T, class F>
class FunctionProcessor final : public ItemProcessor<T> {
  public:
    explicit FunctionProcessor(F function) : function_(std::move(function)) {}
    bool Process(T& item) override { return function_(item); }

  private:
    F function_;
};

/// FunctionProcessor<T, F> for a lambda: `auto p = MakeProcessor<const View::Unit>(...)`.
template <class T, class F>
FunctionProcessor<T, std::decay_t<F>> MakeProcessor(F&& function) {
    return FunctionProcessor<T, std::decay_t<F>>(std::forward<F>(function));
}

}  // namespace Zaph
