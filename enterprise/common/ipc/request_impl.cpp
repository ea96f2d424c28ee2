#include "enterprise/common/ipc/request_impl.h"

#include <string_view>

#include "core/common/assert.h"
#include "enterprise/serialize/xml_packet_deserializer.h"
#include "enterprise/serialize/xml_packet_serializer.h"

namespace Binding::Detail {

std::string RequestSectionName(const RequestHeader& header) {
    return "request_" + header.InterfaceName + "_" + header.MethodName;
}

std::string ReplySectionName(const RequestHeader& header) {
    return "reply_" + header.InterfaceName + "_" + header.MethodName;
}

std::vector<uint8_t> WritePacket(const RequestHeader& header,
                                 const std::function<void(Serialization::Serializer&)>& write) {
    Serialization::XMLPacketSerializer out(static_cast<uint32_t>(header.SerializerVersion),
                                           static_cast<uint32_t>(header.PacketVersion));
    write(out);
    return out.FinishBytes();
}

void ReadPacket(const RequestHeader& header, std::span<const uint8_t> packet,
                const std::function<void(Serialization::Deserializer&)>& read) {
    Serialization::XMLPacketDeserializer in(
        std::string_view(reinterpret_cast<const char*>(packet.data()), packet.size()),
        header.SerializerVersion);
    read(in);
}

void RequestBase::Serialize(Serialization::Serializer& out) const {
    const Serialization::SerializationTag section(RequestSectionName(header_));
    out.BeginTag(section);
    WriteParameters(out);
    out.EndTag(section);
}

std::vector<uint8_t> RequestBase::Pack() const {
    std::vector<uint8_t> data =
        WritePacket(header_, [this](Serialization::Serializer& out) { Serialize(out); });
    // A fresh writer always hands out at least the packet's root element.
    COMMON_ASSERT(data.size());
    return data;
}

Common::Error RequestBase::DeserializeReply(std::span<const uint8_t> reply) {
    Common::Error result;
    ReadPacket(header_, reply, [&](Serialization::Deserializer& in) {
        ReadSection(in, Serialization::SerializationTag(ReplySectionName(header_)), [&] {
            in.ReadError(kReplyResultName, result);
            if (result.IsEmpty()) {
                ReadParameters(in);
            }
        });
    });
    return result;
}

}  // namespace Binding::Detail
