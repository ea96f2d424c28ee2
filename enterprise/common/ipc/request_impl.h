// The requests that the program sends: Binding::RequestHeader, Binding::RequestSerializer,
// Binding::Detail::RequestBase and the class template Binding::Detail::RequestImpl.
//
// A request packet holds one section "request_<InterfaceName>_<MethodName>" with the parameters
// that travel into the request, in declaration order, each under its wire name (value coding in
// utils.h). The reply packet holds one section "reply_<InterfaceName>_<MethodName>" with the
// error "result" first and then the parameters that travel back. Packets are written with the
// header's SerializerVersion as the writer's format version and the low 32 bits of its
// PacketVersion as the section-version filter, and read with SerializerVersion as the root's
// meta-info version.
//
// RequestImpl<void(Args...)> keeps one parameter slot per argument: a copy of a by-value or
// const-reference argument, a reference to the caller's object for a non-const reference. Only
// non-const reference parameters are ever read back, whatever their flags. A reply whose
// "result" is not empty reads no parameter. A reply is read in full before any output variable
// changes: a reply that cannot be read leaves every output variable as it was.
//
//   uint32_t viewID = 0;
//   auto request = std::make_unique<RequestImpl<void(uint32_t, uint32_t&)>>(
//       header, RequestImpl<void(uint32_t, uint32_t&)>::Parameters{{{"in"}, {"viewID"}}}, 5,
//       viewID);
//
// The service side mirrors this with ServerCall (server_call.h) over the same header, names and
// flags.
//
// Thread-safety: a request is used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/trace.h"
#include "core/ipc_client_api/request.h"
#include "enterprise/common/ipc/utils.h"
#include "enterprise/serialize/serializer.h"

namespace Binding {

/// The format version of every packet of the binding.
inline constexpr uint64_t kSerializerVersion = 2;
/// The packet version of the requests that the program builds: all ones.
inline constexpr uint64_t kAllPacketVersions = ~uint64_t{0};
/// The name of the reply's outcome.
inline constexpr const char* kReplyResultName = "result";

/// What a request is: component, method and versions. Built by every request factory.
struct RequestHeader {
    uint32_t ComponentID = 0;
    uint32_t MethodID = 0;
    std::string InterfaceName;
    std::string MethodName;
    uint64_t SerializerVersion = kSerializerVersion;
    /// The interface version that the method needs.
    uint64_t InterfaceVersion = 0;
    uint64_t PacketVersion = kAllPacketVersions;
};

/// The parameter half of a request: writes the parameters that travel into the request and
/// reads those that travel back.
class RequestSerializer : private Common::NonCopyable {
  public:
    virtual ~RequestSerializer() = default;
    virtual void WriteParameters(Serialization::Serializer& out) const = 0;
    virtual void ReadParameters(Serialization::Deserializer& in) = 0;
};

/// One parameter's wire name and flags (utils.h).
struct ParameterSpec {
    std::string name;
    int32_t flags = 0;
};

namespace Detail {

/// "request_<InterfaceName>_<MethodName>".
std::string RequestSectionName(const RequestHeader& header);
/// "reply_<InterfaceName>_<MethodName>".
std::string ReplySectionName(const RequestHeader& header);

/// A packet of `header`'s request or reply, with the content that `write` writes.
std::vector<uint8_t> WritePacket(const RequestHeader& header,
                                 const std::function<void(Serialization::Serializer&)>& write);

/// Reads `packet`, a packet of `header`'s request or reply, with `read`. A packet that is not
/// well-formed throws Serialization::kPacketInconsistent.
void ReadPacket(const RequestHeader& header, std::span<const uint8_t> packet,
                const std::function<void(Serialization::Deserializer&)>& read);

/// The request operations over a header; the parameters are the derived class's.
class RequestBase : public Request, public RequestSerializer {
  public:
    uint32_t GetComponentID() const override { return header_.ComponentID; }
    uint32_t GetMethodID() const override { return header_.MethodID; }

    /// Writes the request section with the parameters.
    void Serialize(Serialization::Serializer& out) const;
    std::vector<uint8_t> Pack() const override;
    Common::Error DeserializeReply(std::span<const uint8_t> reply) override;

  protected:
    explicit RequestBase(RequestHeader header) : header_(std::move(header)) {}

  private:
    const RequestHeader header_;
};

/// One parameter of a request: its value (see the file comment), wire name and flags.
template <class Arg>
struct ParameterSlot {
    /// True for a non-const reference: the only kind of parameter ever read back.
    static constexpr bool kReadBack =
        std::is_lvalue_reference_v<Arg> && !std::is_const_v<std::remove_reference_t<Arg>>;
    using Value = std::conditional_t<kReadBack, Arg, std::remove_cvref_t<Arg>>;

    Value value;
    std::string name;
    int32_t flags;
};

template <class Signature>
class RequestImpl;

/// A request of the method signature void(Args...).
template <class... Args>
class RequestImpl<void(Args...)> final : public RequestBase {
  public:
    using Parameters = std::array<ParameterSpec, sizeof...(Args)>;

    RequestImpl(RequestHeader header, const Parameters& parameters, Args... args)
        : RequestImpl(std::move(header), parameters, std::index_sequence_for<Args...>(),
                      std::forward<Args>(args)...) {}

    void WriteParameters(Serialization::Serializer& out) const override {
        std::apply([&](const auto&... slot) { (WriteSlot(out, slot), ...); }, slots_);
    }

    void ReadParameters(Serialization::Deserializer& in) override {
        ReadSlots(in, std::index_sequence_for<Args...>());
    }

  private:
    template <size_t... I>
    RequestImpl(RequestHeader header, const Parameters& parameters, std::index_sequence<I...>,
                Args... args)
        : RequestBase(std::move(header)),
          slots_{ParameterSlot<Args>{std::forward<Args>(args), parameters[I].name,
                                     parameters[I].flags}...} {}

    template <class Arg>
    static void WriteSlot(Serialization::Serializer& out, const ParameterSlot<Arg>& slot) {
        if (WritesParameter(slot.flags)) {
            WriteValue(out, Serialization::SerializationTag(slot.name), slot.value);
        }
    }

    // What reading gives for a slot that is read back: a copy of its value, updated from the
    // reply when the slot is read, so that record fields missing from the reply keep it.
    template <class Arg>
    struct ReadCopy {
        std::remove_cvref_t<Arg> value;
        bool read;
    };
    struct NothingRead {};
    template <class Arg>
    using ReadResult =
        std::conditional_t<ParameterSlot<Arg>::kReadBack, ReadCopy<Arg>, NothingRead>;

    template <class Arg>
    static ReadResult<Arg> ReadSlot([[maybe_unused]] Serialization::Deserializer& in,
                                    [[maybe_unused]] const ParameterSlot<Arg>& slot) {
        if constexpr (ParameterSlot<Arg>::kReadBack) {
            ReadCopy<Arg> copy{slot.value, ReadsParameter(slot.flags)};
            if (copy.read) {
                ReadValue(in, Serialization::SerializationTag(slot.name), copy.value);
            }
            return copy;
        } else {
            return NothingRead{};
        }
    }

    template <class Arg>
    static void Commit([[maybe_unused]] ParameterSlot<Arg>& slot,
                       [[maybe_unused]] ReadResult<Arg>& result) {
        if constexpr (ParameterSlot<Arg>::kReadBack) {
            if (result.read) {
                slot.value = std::move(result.value);
            }
        }
    }

    template <size_t... I>
    void ReadSlots([[maybe_unused]] Serialization::Deserializer& in, std::index_sequence<I...>) {
        // Braced initialisation reads the parameters in declaration order.
        std::tuple<ReadResult<Args>...> read{ReadSlot(in, std::get<I>(slots_))...};
        (Commit(std::get<I>(slots_), std::get<I>(read)), ...);
    }

    std::tuple<ParameterSlot<Args>...> slots_;
};

/// Runs `build`, which returns the new request. A Common::Error that it throws is written to the
/// trace at level 1 and gives no request (null).
template <class Build>
std::unique_ptr<Request> BuildRequest(Build&& build) {
    try {
        return build();
    } catch (const Common::Error& error) {
        Common::TraceError(1, error);
        return nullptr;
    }
}

}  // namespace Detail
}  // namespace Binding
