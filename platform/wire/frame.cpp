#include "platform/wire/frame.h"

#include <cstring>
#include <string>

#include "core/common/buffer.h"

namespace KivoWire {
namespace {

constexpr uint8_t kMagic[4] = {'K', 'I', 'V', 'O'};

// Writes `value` little-endian into `bytes` bytes at `at`.
void PutAt(uint8_t* at, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t Get(std::span<const uint8_t> in, size_t offset, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
        value |= static_cast<uint64_t>(in[offset + i]) << (8 * i);
    return value;
}

Common::Error BadFrame(const Common::SourceLocation& place, const std::string& what) {
    return Common::Error(place, kBadFrame, "The peer broke the service protocol: " + what + ".");
}

}  // namespace

std::vector<uint8_t> EncodeFrame(FrameKind kind, uint32_t componentId, uint32_t methodId,
                                 uint64_t callId, std::span<const uint8_t> payload) {
    std::vector<uint8_t> frame(kHeaderBytes + payload.size());
    uint8_t* const at = frame.data();
    std::memcpy(at, kMagic, 4);
    PutAt(at + 4, kProtocolVersion, 2);
    PutAt(at + 6, static_cast<uint16_t>(kind), 2);
    PutAt(at + 8, payload.size(), 4);
    PutAt(at + 12, componentId, 4);
    PutAt(at + 16, methodId, 4);
    PutAt(at + 20, 0, 4);
    PutAt(at + 24, callId, 8);
    if (!payload.empty())
        std::memcpy(at + kHeaderBytes, payload.data(), payload.size());
    return frame;
}

Common::Error DecodeHeader(std::span<const uint8_t, kHeaderBytes> bytes, FrameHeader& header) {
    if (std::memcmp(bytes.data(), kMagic, 4) != 0)
        return BadFrame(COMMON_PLACE("KivoWire::DecodeHeader"), "a frame without the magic");
    const uint64_t version = Get(bytes, 4, 2);
    if (version != kProtocolVersion)
        return BadFrame(COMMON_PLACE("KivoWire::DecodeHeader"),
                        "protocol version " + std::to_string(version) + " (this side speaks " +
                            std::to_string(kProtocolVersion) + ")");
    const uint64_t kind = Get(bytes, 6, 2);
    if (kind < static_cast<uint16_t>(FrameKind::Hello) ||
        kind > static_cast<uint16_t>(FrameKind::Accepted))
        return BadFrame(COMMON_PLACE("KivoWire::DecodeHeader"),
                        "a frame of unknown kind " + std::to_string(kind));
    const uint64_t length = Get(bytes, 8, 4);
    if (length > kMaxPayloadBytes)
        return BadFrame(COMMON_PLACE("KivoWire::DecodeHeader"),
                        "a frame of " + std::to_string(length) + " bytes, over the limit of " +
                            std::to_string(kMaxPayloadBytes));
    if (Get(bytes, 20, 4) != 0)
        return BadFrame(COMMON_PLACE("KivoWire::DecodeHeader"), "a reserved field that is set");
    header.kind = static_cast<FrameKind>(kind);
    header.length = static_cast<uint32_t>(length);
    header.componentId = static_cast<uint32_t>(Get(bytes, 12, 4));
    header.methodId = static_cast<uint32_t>(Get(bytes, 16, 4));
    header.callId = Get(bytes, 24, 8);
    return Common::Error();
}

std::vector<uint8_t> HelloPayload(uint32_t serviceId) {
    std::vector<uint8_t> payload(4);
    PutAt(payload.data(), serviceId, 4);
    return payload;
}

Common::Error ReadHello(std::span<const uint8_t> payload, uint32_t& serviceId) {
    if (payload.size() != 4)
        return BadFrame(COMMON_PLACE("KivoWire::ReadHello"), "a hello that is not 4 bytes");
    serviceId = static_cast<uint32_t>(Get(payload, 0, 4));
    return Common::Error();
}

std::vector<uint8_t> WelcomePayload(std::span<const ComponentVersion> components) {
    std::vector<uint8_t> payload(4 + 8 * components.size());
    PutAt(payload.data(), components.size(), 4);
    for (size_t i = 0; i < components.size(); ++i) {
        PutAt(payload.data() + 4 + 8 * i, components[i].componentId, 4);
        PutAt(payload.data() + 8 + 8 * i, components[i].version, 4);
    }
    return payload;
}

Common::Error ReadWelcome(std::span<const uint8_t> payload,
                          std::vector<ComponentVersion>& components) {
    components.clear();
    if (payload.size() < 4)
        return BadFrame(COMMON_PLACE("KivoWire::ReadWelcome"), "a welcome without its count");
    const uint64_t count = Get(payload, 0, 4);
    if (count > kMaxComponents || payload.size() != 4 + 8 * count)
        return BadFrame(COMMON_PLACE("KivoWire::ReadWelcome"),
                        "a welcome whose count does not match its " +
                            std::to_string(payload.size()) + " bytes");
    for (size_t i = 0; i < count; ++i)
        components.push_back(ComponentVersion{static_cast<uint32_t>(Get(payload, 4 + 8 * i, 4)),
                                              static_cast<uint32_t>(Get(payload, 8 + 8 * i, 4))});
    return Common::Error();
}

Common::Error CredentialsPayload(std::string_view user, std::string_view password,
                                 std::vector<uint8_t>& payload) {
    if (user.empty() || user.size() > kMaxUserBytes || password.empty() ||
        password.size() > kMaxPasswordBytes)
        return BadFrame(COMMON_PLACE("KivoWire::CredentialsPayload"),
                        "a user name of 1 to " + std::to_string(kMaxUserBytes) +
                            " bytes and a password of 1 to " + std::to_string(kMaxPasswordBytes) +
                            " bytes are needed");
    payload.assign(4 + user.size() + password.size(), 0);
    PutAt(payload.data(), user.size(), 2);
    std::memcpy(payload.data() + 2, user.data(), user.size());
    PutAt(payload.data() + 2 + user.size(), password.size(), 2);
    std::memcpy(payload.data() + 4 + user.size(), password.data(), password.size());
    return Common::Error();
}

Common::Error ReadCredentials(std::span<const uint8_t> payload, std::string& user,
                              std::string& password) {
    const auto part = [&payload](size_t at, size_t most, std::string& into) -> size_t {
        if (payload.size() < at + 2)
            return 0;
        const size_t length = Get(payload, at, 2);
        if (length == 0 || length > most || payload.size() < at + 2 + length)
            return 0;
        into.assign(reinterpret_cast<const char*>(payload.data()) + at + 2, length);
        return 2 + length;
    };
    const size_t userBytes = part(0, kMaxUserBytes, user);
    const size_t passwordBytes = userBytes == 0 ? 0 : part(userBytes, kMaxPasswordBytes, password);
    if (passwordBytes == 0 || userBytes + passwordBytes != payload.size()) {
        user.clear();
        password.clear();
        return BadFrame(COMMON_PLACE("KivoWire::ReadCredentials"),
                        "credentials that are not a user name and a password within their bounds");
    }
    return Common::Error();
}

std::vector<uint8_t> ErrorPayload(const Common::Error& error) {
    Common::DynamicBuffer buffer;
    if (!error.Serialize(buffer))
        return {};
    return std::vector<uint8_t>(buffer.Data(), buffer.Data() + buffer.Size());
}

Common::Error ReadError(std::span<const uint8_t> payload) {
    return Common::Error::Deserialize(payload.data(), payload.size());
}

}  // namespace KivoWire
