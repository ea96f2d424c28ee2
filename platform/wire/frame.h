// The frames of the service protocol: how a client and a service program (kivod) exchange calls
// over a stream socket.
//
// Every frame is a 32-byte header followed by `length` payload bytes; every number is
// little-endian:
//
//   offset  size  field
//   0       4     magic "KIVO" (4B 49 56 4F)
//   4       2     protocol version (kProtocolVersion)
//   6       2     kind (FrameKind)
//   8       4     payload length, at most kMaxPayloadBytes
//   12      4     component id (calls)
//   16      4     method id (calls)
//   20      4     reserved, 0
//   24      8     call id (calls, replies, failures, pings and pongs)
//
// A connection begins with the client's Hello (payload: the service id, u32) and the service's
// Welcome (payload: a u32 count, at most kMaxComponents, then per component its id and interface
// version, two u32) or Refusal (payload: an error in Common::Error's byte form; the service then
// closes). Then the client sends Calls (payload: the request packet) and the service answers each
// call id once, with a Reply (the reply packet) or a Failure (an error's byte form: the call has
// no reply packet). Either side may send a Ping at any time; the other answers with a Pong of the
// same call id at once.
//
// Over TCP (always inside TLS) the client first proves who it is: it sends Credentials (payload:
// a u16 length and the user name in UTF-8, then a u16 length and the password in UTF-8; 1 to
// kMaxUserBytes and 1 to kMaxPasswordBytes bytes) and the service answers Accepted (no payload)
// or a Refusal, after which it closes. Before it is accepted a connection may send nothing else,
// and at most kMaxLoginBytes bytes in all. Hello and Welcome follow as above.
//
// Bounds: a header whose magic, version or kind is unknown, whose reserved field is not 0, or
// whose length passes kMaxPayloadBytes, is refused before anything is allocated for it; the peer
// that sent it is then closed.
//
// Thread-safety: pure functions over values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/error/error.h"

namespace KivoWire {

/// The protocol version this library speaks.
inline constexpr uint16_t kProtocolVersion = 1;
/// The header's size.
inline constexpr size_t kHeaderBytes = 32;
/// The largest payload: the packet bound.
inline constexpr size_t kMaxPayloadBytes = size_t{64} << 20;
/// The most components a Welcome may list.
inline constexpr uint32_t kMaxComponents = 64;

/// The most bytes a connection may send before its credentials are accepted.
inline constexpr size_t kMaxLoginBytes = 4096;
/// The longest user name and password, in UTF-8 bytes.
inline constexpr size_t kMaxUserBytes = 256;
inline constexpr size_t kMaxPasswordBytes = 1024;

/// A frame that breaks the protocol (bad magic, version, kind, length or payload).
inline constexpr uint32_t kBadFrame = 0xAE0010;

/// What a frame is; the values travel.
enum class FrameKind : uint16_t {
    Hello = 1,
    Welcome = 2,
    Refusal = 3,
    Call = 4,
    Reply = 5,
    Failure = 6,
    Ping = 7,
    Pong = 8,
    Credentials = 9,
    Accepted = 10,
};

/// One frame's header fields.
struct FrameHeader {
    FrameKind kind = FrameKind::Ping;
    uint32_t length = 0;
    uint32_t componentId = 0;
    uint32_t methodId = 0;
    uint64_t callId = 0;
};

/// A whole frame.
struct Frame {
    FrameHeader header;
    std::vector<uint8_t> payload;
};

/// One component of a Welcome.
struct ComponentVersion {
    uint32_t componentId = 0;
    uint32_t version = 0;
};

/// The bytes of a frame of `kind` with `payload` (its length taken from the payload).
[[nodiscard]] std::vector<uint8_t> EncodeFrame(FrameKind kind, uint32_t componentId,
                                               uint32_t methodId, uint64_t callId,
                                               std::span<const uint8_t> payload);
/// Reads a header from its kHeaderBytes bytes; kBadFrame when it breaks the bounds above.
[[nodiscard]] Common::Error DecodeHeader(std::span<const uint8_t, kHeaderBytes> bytes,
                                         FrameHeader& header);

/// Payloads of the connection's first frames, and of errors.
[[nodiscard]] std::vector<uint8_t> HelloPayload(uint32_t serviceId);
[[nodiscard]] Common::Error ReadHello(std::span<const uint8_t> payload, uint32_t& serviceId);
[[nodiscard]] std::vector<uint8_t> WelcomePayload(std::span<const ComponentVersion> components);
[[nodiscard]] Common::Error ReadWelcome(std::span<const uint8_t> payload,
                                        std::vector<ComponentVersion>& components);
/// The payload of a Credentials frame; kBadFrame when a part is empty or too long.
[[nodiscard]] Common::Error CredentialsPayload(std::string_view user, std::string_view password,
                                               std::vector<uint8_t>& payload);
/// The user name and password of a Credentials payload; kBadFrame when it breaks the bounds.
[[nodiscard]] Common::Error ReadCredentials(std::span<const uint8_t> payload, std::string& user,
                                            std::string& password);
/// An error's byte form, for Refusal and Failure frames.
[[nodiscard]] std::vector<uint8_t> ErrorPayload(const Common::Error& error);
/// The error of a Refusal or Failure payload; a malformed one gives the error-bytes code.
[[nodiscard]] Common::Error ReadError(std::span<const uint8_t> payload);

}  // namespace KivoWire
