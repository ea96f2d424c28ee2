#include <algorithm>
#include <iterator>
#include <memory>
#include <utility>

#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/holders.h"

namespace Zaph {
namespace {

using PropertyVector = std::vector<Construction::PropertyPtr>;

PropertyVector::const_iterator LowerBound(const PropertyVector& properties, const Name& name) {
    return std::lower_bound(properties.begin(), properties.end(), name,
                            [](const Construction::PropertyPtr& property, const Name& key) {
                                return property->GetName().Compare(key) < 0;
                            });
}

template <class Processor>
void ForEachProperty(const PropertyVector& properties, Processor& processor) {
    for (const Construction::PropertyPtr& property : properties) {
        if (processor.Process(*property)) {
            return;
        }
    }
}

template <class Processor>
bool FindProperty(Construction::Property* property, Processor& processor) {
    if (property == nullptr) {
        return false;
    }
    processor.Process(*property);
    return true;
}

}  // namespace

Construction::Property* CompositeValueHolder::Lookup(const Name& name) const {
    const auto position = LowerBound(properties_, name);
    if (position == properties_.end() || (*position)->GetName() != name) {
        return nullptr;
    }
    return position->get();
}

void CompositeValueHolder::ForEach(ItemProcessor<const View::Property>& processor) const {
    ForEachProperty(properties_, processor);
}

bool CompositeValueHolder::Find(const Name& name,
                                ItemProcessor<const View::Property>& processor) const {
    return FindProperty(Lookup(name), processor);
}

CompositeIterator<const View::Property> CompositeValueHolder::GetIterator() const {
    return CompositeIterator<const View::Property>(
        std::make_shared<VectorIteratorState<const View::Property, PropertyVector>>(properties_));
}

void CompositeValueHolder::ForEach(ItemProcessor<Modification::Property>& processor) {
    ForEachProperty(properties_, processor);
}

bool CompositeValueHolder::Find(const Name& name,
                                ItemProcessor<Modification::Property>& processor) {
    return FindProperty(Lookup(name), processor);
}

void CompositeValueHolder::ForEach(ItemProcessor<Construction::Property>& processor) {
    ForEachProperty(properties_, processor);
}

bool CompositeValueHolder::Find(const Name& name,
                                ItemProcessor<Construction::Property>& processor) {
    return FindProperty(Lookup(name), processor);
}

CompositeIterator<Construction::Property> CompositeValueHolder::GetIterator() {
    return CompositeIterator<Construction::Property>(
        std::make_shared<VectorIteratorState<Construction::Property, PropertyVector>>(properties_));
}

void CompositeValueHolder::Set(Construction::PropertyPtr property) {
    if (property == nullptr) {
        Detail::ThrowNullUnit(COMMON_PLACE("Zaph::CompositeValueHolder::Set"));
    }
    const Name& name = property->GetName();
    // Composites are mostly built in name order: appending needs no search.
    if (properties_.empty() || properties_.back()->GetName().Compare(name) < 0) {
        properties_.push_back(std::move(property));
        return;
    }
    const auto position = LowerBound(properties_, name);
    const auto index = position - properties_.begin();
    if ((*position)->GetName() == name) {
        // The replaced property and its tree are destroyed when `property` goes out of scope.
        std::swap(properties_[index], property);
        return;
    }
    properties_.insert(properties_.begin() + index, std::move(property));
}

void CompositeValueHolder::SetSorted(std::vector<Construction::PropertyPtr>& batch) {
    bool sorted = true;
    for (size_t i = 0; i < batch.size(); ++i) {
        if (batch[i] == nullptr) {
            Detail::ThrowNullUnit(COMMON_PLACE("Zaph::CompositeValueHolder::SetSorted"));
        }
        if (i > 0 && batch[i - 1]->GetName().Compare(batch[i]->GetName()) >= 0) {
            sorted = false;
        }
    }
    if (!sorted) {
        for (Construction::PropertyPtr& property : batch) {
            Set(std::move(property));
        }
        batch.clear();
        return;
    }
    if (batch.empty()) {
        return;
    }
    if (properties_.empty() ||
        properties_.back()->GetName().Compare(batch.front()->GetName()) < 0) {
        if (properties_.empty()) {
            properties_.swap(batch);
        } else {
            properties_.insert(properties_.end(), std::make_move_iterator(batch.begin()),
                               std::make_move_iterator(batch.end()));
        }
        batch.clear();
        return;
    }
    // Both sides are in strictly increasing order: one merge, the batch winning on equal names.
    // The replaced properties stay behind in `merged` and are destroyed with it.
    PropertyVector merged;
    merged.reserve(properties_.size() + batch.size());
    auto left = properties_.begin();
    auto right = batch.begin();
    while (left != properties_.end() && right != batch.end()) {
        const int order = (*left)->GetName().Compare((*right)->GetName());
        if (order < 0) {
            merged.push_back(std::move(*left++));
        } else {
            if (order == 0) {
                ++left;
            }
            merged.push_back(std::move(*right++));
        }
    }
    std::move(left, properties_.end(), std::back_inserter(merged));
    std::move(right, batch.end(), std::back_inserter(merged));
    properties_.swap(merged);
    batch.clear();
}

void CompositeValueHolder::Remove(const Name& name) {
    const auto position = LowerBound(properties_, name);
    if (position != properties_.end() && (*position)->GetName() == name) {
        properties_.erase(position);
    }
}

}  // namespace Zaph
