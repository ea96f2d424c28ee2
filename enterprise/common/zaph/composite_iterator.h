// CompositeIterator<T>: a pull-style iterator over the properties of a composite in name order.
//
// An iterator shares, by reference count, a small state (its position and the composite's
// property list): copies of an iterator advance together. It must not outlive the composite it
// was made from, and the composite must not change while it is in use.
//
// Thread-safety: an iterator and its copies are used by one thread at a time.
#pragma once

#include <memory>
#include <utility>

namespace Zaph {

[[noreturn]] void ThrowIteratorPastEnd();

/// See the file comment. T is the property interface, e.g. const View::Property.
template <class T>
class CompositeIterator {
  public:
    /// The shared state behind an iterator; composites and decorators provide their own.
    class State {
      public:
        virtual ~State() = default;
        /// The current property; only called while IsValid().
        virtual T& Current() const = 0;
        /// Moves to the next property; only called while IsValid().
        virtual void Next() = 0;
        virtual bool IsValid() const = 0;
    };

    /// An iterator that is past the end from the start.
    CompositeIterator() = default;
    explicit CompositeIterator(std::shared_ptr<State> state) : state_(std::move(state)) {}

    /// True while the position is inside the list.
    bool IsValid() const { return state_ != nullptr && state_->IsValid(); }
    /// The current property; raises "ZAPH: Out of range." past the end.
    T& Current() const {
        if (!IsValid()) {
            ThrowIteratorPastEnd();
        }
        return state_->Current();
    }
    /// Advances to the next property; past the end it stays there.
    void Next() {
        if (IsValid()) {
            state_->Next();
        }
    }

  private:
    std::shared_ptr<State> state_;
};

/// The state of an iterator over a vector of owning pointers to properties.
template <class T, class Vector>
class VectorIteratorState final : public CompositeIterator<T>::State {
  public:
    explicit VectorIteratorState(const Vector& items) : items_(items) {}
    T& Current() const override { return *items_[position_]; }
    void Next() override { ++position_; }
    bool IsValid() const override { return position_ < items_.size(); }

  private:
    const Vector& items_;
    size_t position_ = 0;
};

}  // namespace Zaph
