#include "enterprise/serialize/container.h"

namespace Serialization {

const SerializationTag& ContainerSectionTag() {
    static const SerializationTag tag(kContainerSectionName);
    return tag;
}

const SerializationTag& ContainerItemTag() {
    static const SerializationTag tag = [] {
        SerializationTag item(kContainerItemName);
        item.ordered = true;
        return item;
    }();
    return tag;
}

void WriteContainer(Serializer& serializer, ContainerIterator& elements) {
    serializer.BeginTag(ContainerSectionTag());
    while (elements.HasNext()) {
        elements.Next();
        elements.WriteCurrent(serializer, ContainerItemTag());
    }
    serializer.EndTag(ContainerSectionTag());
}

}  // namespace Serialization
