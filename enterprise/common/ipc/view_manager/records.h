// The records that the view manager's methods carry, and their packet coding.
//
// Each record is a section (named by the parameter or field that holds it) with one element per
// field, in the order of the declarations below, under the field's wire name (the field's name).
// Field values are coded as in enterprise/common/ipc/utils.h; a field whose value is itself a
// record (Topic::ID, TopicSpec::Interest) carries its type's meta information, one trait "Is" of
// type "StringValue" whose value is the record's qualified type name, as the first traits list
// of its tag.
//
// Nested format version: while such a record field is written, the writer's current format
// version is 2, and the previous one is restored afterwards. The field's element gets the
// attribute version="2" when the writer's current format version was not 2 before the field
// (so a record written by a fresh writer, whose current format version is 0, marks its nested
// record fields), and no attribute when it already was 2.
//
// Reading is tolerant field by field: a field that is missing or cannot be read keeps the value
// it had, its error is traced at level 1 (core/common/trace.h), and reading goes on with the next
// field; only a missing record section throws
// Common::Error (leaving the record as it was). A ViewUpdate that starts empty holds Type 3 and
// null units, so an update element without "Type" reads as Type 3.
//
// Thread-safety: plain values; units are shared read-only.
#pragma once

#include <cstdint>
#include <vector>

#include "enterprise/common/ipc/view_manager/view_spec.h"
#include "enterprise/common/zaph/view.h"
#include "enterprise/serialize/serializer.h"

namespace Kivo::ViewManagement {

/// A list of units as the view manager sends them.
using UnitVector = std::vector<Zaph::View::SharedUnitPtr>;

/// One change of a view; the consumers of updates give Type its meaning.
struct ViewUpdate {
    uint32_t Type = 3;
    /// The changed object's key.
    Zaph::View::SharedUnitPtr Key;
    /// The object or the change.
    Zaph::View::SharedUnitPtr PackedUpdate;
};

/// One interest of one subscriber.
struct TopicID {
    uint32_t Subscriber = 0;
    uint32_t Interest = 0;
};

/// Asks for a new interest of a subscriber.
struct TopicSpec {
    /// The subscriber.
    uint32_t Subscription = 0;
    Kivo::ViewSpec Interest;
};

/// An interest as the service created it.
struct Topic {
    TopicID ID;
    /// The objects that matched when the interest was created.
    UnitVector Content;
};

/// Asks for a new subscriber; it has no fields (an empty section).
struct SubscriptionSpec {};

/// A subscriber.
struct Subscription {
    uint32_t ID = 0;
};

/// What one read of a subscription returns.
struct SubscriptionContent {
    std::vector<ViewUpdate> TopicUpdates;
};

// The packet coding of each record: see the file comment.
void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                const ViewUpdate& record);
void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               ViewUpdate& record);
void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                const TopicID& record);
void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               TopicID& record);
void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                const TopicSpec& record);
void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               TopicSpec& record);
void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                const Topic& record);
void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               Topic& record);
void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                const SubscriptionSpec& record);
void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               SubscriptionSpec& record);
void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                const Subscription& record);
void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               Subscription& record);
void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                const SubscriptionContent& record);
void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               SubscriptionContent& record);

}  // namespace Kivo::ViewManagement
