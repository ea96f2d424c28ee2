// Parameters and field values in packets: the direction rules of parameter flags, and the coding
// of each value kind that requests carry.
//
// Parameter flags: below 0, or 8 and above, the parameter never travels. The low two bits give
// the direction: 1 input only (written into the request), 2 output only (read from the reply),
// 0 and 3 both. 4 to 7 ask for encryption with the same direction; no value kind has an
// encrypted form, so a parameter that would travel with such flags fails the assertion
// "!\"Value is not encryptable but encyption was requested\"" and is neither written nor read.
// Whether a parameter is read back at all also depends on how it is passed (request_impl.h).
//
// Value kinds (WriteValue/ReadValue, found by overload; records add their own overloads in their
// namespaces, enterprise/common/ipc/view_manager):
//   uint32_t          one value element under the tag
//   unit              a unit value of enterprise/serialize/unit_value.h ("is_empty", "value")
//   std::vector<T>    a section under the tag holding the container coding of
//                     enterprise/serialize/container.h: a "vector" section with one "item" per
//                     element, each coded as a T under the tag "item"
//
// Readers fill their target only when the whole value was read: a failure throws Common::Error,
// leaves the target as it was and leaves the packet reader at the element it was in, so that
// the caller can go on with the next value. A vector read replaces the target's elements; each
// element starts value-initialised.
//
// Thread-safety: as the packet writer or reader used.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "enterprise/common/zaph/view.h"
#include "enterprise/serialize/container.h"
#include "enterprise/serialize/serializer.h"

namespace Binding::Detail {

/// True when a parameter with `flags` is written into the request; see the file comment.
bool WritesParameter(int32_t flags);
/// True when a parameter with `flags` that can be read back is read from the reply.
bool ReadsParameter(int32_t flags);

/// Opens the section that `tag` names, runs `body` and closes the section, also when `body`
/// throws (which `body` must do with the reader back at the section).
template <class Body>
void ReadSection(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
                 Body&& body) {
    in.BeginTag(tag);
    try {
        body();
    } catch (...) {
        in.EndTag(tag);
        throw;
    }
    in.EndTag(tag);
}

void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                uint32_t value);
void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               uint32_t& value);

void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                const Zaph::View::SharedUnitPtr& unit);
void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               Zaph::View::SharedUnitPtr& unit);

template <class T>
void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                const std::vector<T>& values) {
    out.BeginTag(tag);
    Serialization::WriteVector(
        out, values,
        [](Serialization::Serializer& writer, const Serialization::SerializationTag& item,
           const T& value) { WriteValue(writer, item, value); });
    out.EndTag(tag);
}

template <class T>
void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               std::vector<T>& values) {
    std::vector<T> read;
    ReadSection(in, tag, [&] {
        ReadSection(in, Serialization::ContainerSectionTag(), [&] {
            while (in.NextElementIs(Serialization::kContainerItemName)) {
                ReadValue(in, Serialization::ContainerItemTag(), read.emplace_back());
            }
        });
    });
    values = std::move(read);
}

}  // namespace Binding::Detail
