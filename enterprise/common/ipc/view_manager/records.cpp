#include "enterprise/common/ipc/view_manager/records.h"

#include <memory>

#include "core/common/trace.h"
#include "enterprise/common/ipc/utils.h"

namespace Kivo::ViewManagement {
namespace {

using Binding::Detail::ReadValue;
using Binding::Detail::WriteValue;
using Serialization::Deserializer;
using Serialization::SerializationTag;
using Serialization::Serializer;

// The format version of the content of a record field.
constexpr uint64_t kNestedFormatVersion = 2;

// The trace level of a field that did not read and was passed over.
constexpr uint32_t kDroppedFieldTraceLevel = 1;

// Per record: its qualified type name, and Each(record, visit), which calls visit(wire name,
// field) for every field in wire order.
template <class Record>
struct RecordFields;

template <>
struct RecordFields<ViewSpec> {
    static constexpr const char* kTypeName = "Kivo::ViewSpec";
    template <class R, class Visit>
    static void Each(R& record, Visit&& visit) {
        visit("Pattern", record.Pattern);
        visit("Options", record.Options);
    }
};

template <>
struct RecordFields<ViewUpdate> {
    static constexpr const char* kTypeName = "Kivo::ViewManagement::ViewUpdate";
    template <class R, class Visit>
    static void Each(R& record, Visit&& visit) {
        visit("Type", record.Type);
        visit("Key", record.Key);
        visit("PackedUpdate", record.PackedUpdate);
    }
};

template <>
struct RecordFields<TopicID> {
    static constexpr const char* kTypeName = "Kivo::ViewManagement::TopicID";
    template <class R, class Visit>
    static void Each(R& record, Visit&& visit) {
        visit("Subscriber", record.Subscriber);
        visit("Interest", record.Interest);
    }
};

template <>
struct RecordFields<TopicSpec> {
    static constexpr const char* kTypeName = "Kivo::ViewManagement::TopicSpec";
    template <class R, class Visit>
    static void Each(R& record, Visit&& visit) {
        visit("Subscription", record.Subscription);
        visit("Interest", record.Interest);
    }
};

template <>
struct RecordFields<Topic> {
    static constexpr const char* kTypeName = "Kivo::ViewManagement::Topic";
    template <class R, class Visit>
    static void Each(R& record, Visit&& visit) {
        visit("ID", record.ID);
        visit("Content", record.Content);
    }
};

template <>
struct RecordFields<SubscriptionSpec> {
    static constexpr const char* kTypeName = "Kivo::ViewManagement::SubscriptionSpec";
    template <class R, class Visit>
    static void Each(R&, Visit&&) {}
};

template <>
struct RecordFields<Subscription> {
    static constexpr const char* kTypeName = "Kivo::ViewManagement::Subscription";
    template <class R, class Visit>
    static void Each(R& record, Visit&& visit) {
        visit("ID", record.ID);
    }
};

template <>
struct RecordFields<SubscriptionContent> {
    static constexpr const char* kTypeName = "Kivo::ViewManagement::SubscriptionContent";
    template <class R, class Visit>
    static void Each(R& record, Visit&& visit) {
        visit("TopicUpdates", record.TopicUpdates);
    }
};

template <class T>
concept Record = requires {
    RecordFields<T>::kTypeName;
};

// The record's meta information: the one trait "Is" naming its type.
template <Record R>
const Serialization::MetaInfo& MetaInfoOf() {
    static const Serialization::MetaInfo info =
        std::make_shared<const std::vector<Serialization::MetaInfoTrait>>(
            std::vector<Serialization::MetaInfoTrait>{
                {"Is", "StringValue", RecordFields<R>::kTypeName}});
    return info;
}

template <class Field>
void WriteField(Serializer& out, const char* name, const Field& field) {
    SerializationTag tag(name);
    if constexpr (Record<Field>) {
        tag.traits = MetaInfoOf<Field>();
        const uint64_t outer = out.GetCurrentFormatVersion();
        if (outer != kNestedFormatVersion) {
            tag.version = kNestedFormatVersion;
        }
        out.SetCurrentFormatVersion(kNestedFormatVersion);
        WriteValue(out, tag, field);
        out.SetCurrentFormatVersion(outer);
    } else {
        WriteValue(out, tag, field);
    }
}

template <class Field>
void ReadField(Deserializer& in, const char* name, Field& field) {
    try {
        ReadValue(in, SerializationTag(name), field);
    } catch (const Common::Error& error) {
        // Every field is optional on the wire: one that does not read keeps its value, and the
        // value readers leave the packet reader at the record's section for the next field.
        Common::TraceError(kDroppedFieldTraceLevel, error);
    }
}

template <Record R>
void WriteRecord(Serializer& out, const SerializationTag& tag, const R& record) {
    out.BeginTag(tag);
    RecordFields<R>::Each(
        record, [&](const char* name, const auto& field) { WriteField(out, name, field); });
    out.EndTag(tag);
}

template <Record R>
void ReadRecord(Deserializer& in, const SerializationTag& tag, R& record) {
    Binding::Detail::ReadSection(in, tag, [&] {
        RecordFields<R>::Each(record,
                              [&](const char* name, auto& field) { ReadField(in, name, field); });
    });
}

}  // namespace

void WriteValue(Serializer& out, const SerializationTag& tag, const ViewUpdate& record) {
    WriteRecord(out, tag, record);
}

void ReadValue(Deserializer& in, const SerializationTag& tag, ViewUpdate& record) {
    ReadRecord(in, tag, record);
}

void WriteValue(Serializer& out, const SerializationTag& tag, const TopicID& record) {
    WriteRecord(out, tag, record);
}

void ReadValue(Deserializer& in, const SerializationTag& tag, TopicID& record) {
    ReadRecord(in, tag, record);
}

void WriteValue(Serializer& out, const SerializationTag& tag, const TopicSpec& record) {
    WriteRecord(out, tag, record);
}

void ReadValue(Deserializer& in, const SerializationTag& tag, TopicSpec& record) {
    ReadRecord(in, tag, record);
}

void WriteValue(Serializer& out, const SerializationTag& tag, const Topic& record) {
    WriteRecord(out, tag, record);
}

void ReadValue(Deserializer& in, const SerializationTag& tag, Topic& record) {
    ReadRecord(in, tag, record);
}

void WriteValue(Serializer& out, const SerializationTag& tag, const SubscriptionSpec& record) {
    WriteRecord(out, tag, record);
}

void ReadValue(Deserializer& in, const SerializationTag& tag, SubscriptionSpec& record) {
    ReadRecord(in, tag, record);
}

void WriteValue(Serializer& out, const SerializationTag& tag, const Subscription& record) {
    WriteRecord(out, tag, record);
}

void ReadValue(Deserializer& in, const SerializationTag& tag, Subscription& record) {
    ReadRecord(in, tag, record);
}

void WriteValue(Serializer& out, const SerializationTag& tag, const SubscriptionContent& record) {
    WriteRecord(out, tag, record);
}

void ReadValue(Deserializer& in, const SerializationTag& tag, SubscriptionContent& record) {
    ReadRecord(in, tag, record);
}

}  // namespace Kivo::ViewManagement

namespace Kivo {

void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                const ViewSpec& spec) {
    ViewManagement::WriteRecord(out, tag, spec);
}

void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               ViewSpec& spec) {
    ViewManagement::ReadRecord(in, tag, spec);
}

}  // namespace Kivo
