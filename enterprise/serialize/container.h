// Containers in packets: a section "vector" holding one element "item" per element, in order.
//
// A writer walks a container through a ContainerIterator; ValueIterator adapts a pair of
// iterators and a function that writes one element under a tag. Each element is written under
// the tag "item" by that function: as a value element or as a section of its own. A reader takes
// elements while the next element of the "vector" section is named "item"; an element that does
// not read ends the reading with its error, the "vector" section closed again.
//
// Thread-safety: iterators are used by one thread at a time.
#pragma once

#include <utility>
#include <vector>

#include "core/common/assert.h"
#include "core/common/noncopyable.h"
#include "enterprise/serialize/serializer.h"

namespace Serialization {

/// The name of the section that holds a container's elements.
inline constexpr const char* kContainerSectionName = "vector";
/// The name of each element of a container.
inline constexpr const char* kContainerItemName = "item";

/// Walks a container for a writer. It starts before the first element: Next moves onto the next
/// element, which WriteCurrent then writes.
class ContainerIterator : private Common::NonCopyable {
  public:
    virtual ~ContainerIterator() = default;
    virtual bool HasNext() const = 0;
    virtual void Next() = 0;
    virtual void WriteCurrent(Serializer& serializer, const SerializationTag& tag) const = 0;
};

/// A ContainerIterator over [begin, end) that writes an element with
/// `write(serializer, tag, element)`.
template <class Iterator, class WriteElement>
class ValueIterator final : public ContainerIterator {
  public:
    ValueIterator(Iterator begin, Iterator end, WriteElement write)
        : next_(begin), end_(end), current_(begin), write_(std::move(write)) {}

    bool HasNext() const override { return next_ != end_; }

    void Next() override {
        COMMON_ASSERT(HasNext());
        if (next_ != end_) {
            current_ = next_++;
            positioned_ = true;
        }
    }

    void WriteCurrent(Serializer& serializer, const SerializationTag& tag) const override {
        COMMON_ASSERT(positioned_);
        if (positioned_) {
            write_(serializer, tag, *current_);
        }
    }

  private:
    Iterator next_;
    Iterator end_;
    Iterator current_;
    bool positioned_ = false;
    WriteElement write_;
};

/// Writes the "vector" section with every element of `elements` under the tag "item".
void WriteContainer(Serializer& serializer, ContainerIterator& elements);

/// The tags of the container coding (the element tag is ordered).
const SerializationTag& ContainerSectionTag();
const SerializationTag& ContainerItemTag();

/// Reads the "vector" section, calling `readElement(deserializer, tag)` once per "item".
template <class ReadElement>
void ReadContainer(Deserializer& deserializer, ReadElement&& readElement) {
    deserializer.BeginTag(ContainerSectionTag());
    try {
        while (deserializer.NextElementIs(kContainerItemName)) {
            readElement(deserializer, ContainerItemTag());
        }
    } catch (const Common::Error&) {
        // An element that does not read leaves its own element closed: closing the section too
        // leaves the reader as it was before the container.
        deserializer.EndTag(ContainerSectionTag());
        throw;
    }
    deserializer.EndTag(ContainerSectionTag());
}

/// Writes `values` as a container, each element with `write(serializer, tag, element)`.
template <class T, class WriteElement>
void WriteVector(Serializer& serializer, const std::vector<T>& values, WriteElement write) {
    ValueIterator<typename std::vector<T>::const_iterator, WriteElement> elements(
        values.cbegin(), values.cend(), std::move(write));
    WriteContainer(serializer, elements);
}

/// Empties `values`, then reads a container into it: each element starts value-initialised and
/// is filled by `read(deserializer, tag, element)`.
template <class T, class ReadElement>
void ReadVector(Deserializer& deserializer, std::vector<T>& values, ReadElement read) {
    values.clear();
    ReadContainer(deserializer, [&](Deserializer& in, const SerializationTag& tag) {
        values.emplace_back();
        read(in, tag, values.back());
    });
}

}  // namespace Serialization
