#include <utility>

#include "enterprise/common/zaph/copy_unit.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/holders.h"
#include "enterprise/common/zaph/unit_disposal.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace Zaph {
namespace {

// A deep copy of a read-only unit given to the modification layer, made with a fresh factory.
Construction::UnitPtr CopyArgument(View::UnitPtr unit, const Common::SourceLocation& place) {
    if (unit == nullptr) {
        Detail::ThrowNullUnit(place);
    }
    Construction::InMemoryUnitFactory factory;
    return Util::CopyUnit(*unit, factory);
}

template <class Processor, class Elements>
bool ProcessElement(Elements& elements, size_t index, Processor& processor,
                    const Common::SourceLocation& place) {
    if (index >= elements.size()) {
        Detail::ThrowOutOfRange(place);
    }
    return processor.Process(*elements[index]);
}

template <class Processor, class Elements>
void ForEachElement(Elements& elements, Processor& processor) {
    for (const auto& element : elements) {
        if (processor.Process(*element)) {
            return;
        }
    }
}

}  // namespace

ArrayValueHolder::~ArrayValueHolder() {
    for (Construction::UnitPtr& element : elements_) {
        Detail::DisposeUnit(std::move(element));
    }
}

bool ArrayValueHolder::ProcessFront(ItemProcessor<const View::Unit>& processor) const {
    return ProcessElement(elements_, 0, processor,
                          COMMON_PLACE("Zaph::ArrayValueHolder::ProcessFront"));
}

bool ArrayValueHolder::ProcessBack(ItemProcessor<const View::Unit>& processor) const {
    return ProcessElement(elements_, elements_.size() - 1, processor,
                          COMMON_PLACE("Zaph::ArrayValueHolder::ProcessBack"));
}

bool ArrayValueHolder::ProcessAt(size_t index, ItemProcessor<const View::Unit>& processor) const {
    return ProcessElement(elements_, index, processor,
                          COMMON_PLACE("Zaph::ArrayValueHolder::ProcessAt"));
}

void ArrayValueHolder::ForEach(ItemProcessor<const View::Unit>& processor) const {
    ForEachElement(elements_, processor);
}

bool ArrayValueHolder::ProcessBack(ItemProcessor<Modification::Unit>& processor) {
    return ProcessElement(elements_, elements_.size() - 1, processor,
                          COMMON_PLACE("Zaph::ArrayValueHolder::ProcessBack"));
}

bool ArrayValueHolder::ProcessFront(ItemProcessor<Modification::Unit>& processor) {
    return ProcessElement(elements_, 0, processor,
                          COMMON_PLACE("Zaph::ArrayValueHolder::ProcessFront"));
}

bool ArrayValueHolder::ProcessAt(size_t index, ItemProcessor<Modification::Unit>& processor) {
    return ProcessElement(elements_, index, processor,
                          COMMON_PLACE("Zaph::ArrayValueHolder::ProcessAt"));
}

void ArrayValueHolder::ForEach(ItemProcessor<Modification::Unit>& processor) {
    ForEachElement(elements_, processor);
}

void ArrayValueHolder::Clear() {
    elements_.clear();
}

void ArrayValueHolder::Insert(size_t index, View::UnitPtr unit) {
    if (index > elements_.size()) {
        Detail::ThrowOutOfRange(COMMON_PLACE("Zaph::ArrayValueHolder::Insert"));
    }
    Insert(index, CopyArgument(std::move(unit), COMMON_PLACE("Zaph::ArrayValueHolder::Insert")));
}

void ArrayValueHolder::RemoveAt(size_t index) {
    if (index >= elements_.size()) {
        Detail::ThrowOutOfRange(COMMON_PLACE("Zaph::ArrayValueHolder::RemoveAt"));
    }
    elements_.erase(elements_.begin() + static_cast<ptrdiff_t>(index));
}

void ArrayValueHolder::PushBack(View::UnitPtr unit) {
    PushBack(CopyArgument(std::move(unit), COMMON_PLACE("Zaph::ArrayValueHolder::PushBack")));
}

void ArrayValueHolder::PushFront(View::UnitPtr unit) {
    PushFront(CopyArgument(std::move(unit), COMMON_PLACE("Zaph::ArrayValueHolder::PushFront")));
}

void ArrayValueHolder::PopBack() {
    if (!elements_.empty()) {
        elements_.pop_back();
    }
}

void ArrayValueHolder::PopFront() {
    if (!elements_.empty()) {
        elements_.erase(elements_.begin());
    }
}

bool ArrayValueHolder::ProcessBack(ItemProcessor<Construction::Unit>& processor) {
    return ProcessElement(elements_, elements_.size() - 1, processor,
                          COMMON_PLACE("Zaph::ArrayValueHolder::ProcessBack"));
}

bool ArrayValueHolder::ProcessFront(ItemProcessor<Construction::Unit>& processor) {
    return ProcessElement(elements_, 0, processor,
                          COMMON_PLACE("Zaph::ArrayValueHolder::ProcessFront"));
}

bool ArrayValueHolder::ProcessAt(size_t index, ItemProcessor<Construction::Unit>& processor) {
    return ProcessElement(elements_, index, processor,
                          COMMON_PLACE("Zaph::ArrayValueHolder::ProcessAt"));
}

void ArrayValueHolder::ForEach(ItemProcessor<Construction::Unit>& processor) {
    ForEachElement(elements_, processor);
}

void ArrayValueHolder::Insert(size_t index, Construction::UnitPtr unit) {
    if (unit == nullptr) {
        Detail::ThrowNullUnit(COMMON_PLACE("Zaph::ArrayValueHolder::Insert"));
    }
    if (index > elements_.size()) {
        Detail::ThrowOutOfRange(COMMON_PLACE("Zaph::ArrayValueHolder::Insert"));
    }
    elements_.insert(elements_.begin() + static_cast<ptrdiff_t>(index), std::move(unit));
}

void ArrayValueHolder::PushBack(Construction::UnitPtr unit) {
    if (unit == nullptr) {
        Detail::ThrowNullUnit(COMMON_PLACE("Zaph::ArrayValueHolder::PushBack"));
    }
    elements_.push_back(std::move(unit));
}

void ArrayValueHolder::PushFront(Construction::UnitPtr unit) {
    if (unit == nullptr) {
        Detail::ThrowNullUnit(COMMON_PLACE("Zaph::ArrayValueHolder::PushFront"));
    }
    elements_.insert(elements_.begin(), std::move(unit));
}

}  // namespace Zaph
