// The service side of a request: Binding::Detail::ServerCall reads a request packet and writes
// the reply packet, with the same header, parameter names, flags and value coding as the
// client's RequestImpl (request_impl.h), so that the two sides cannot drift apart.
//
//   ServerCall<void(const Kivo::ViewSpec&, uint32_t&)> call(header, parameters);
//   Common::Error result;
//   try {
//       call.ReadRequest(requestPacket);
//       result = std::apply(method, call.GetArguments());
//   } catch (const Common::Error& error) {
//       result = error;
//   }
//   return call.WriteReply(result);
//
// ReadRequest reads every parameter that the client writes into the request; WriteReply writes
// the reply section with the error "result" first and then every parameter that the client reads
// back (the non-const reference parameters whose flags let them travel back), whatever the
// result, since the client skips them when the result is not empty.
//
// Thread-safety: one call is used by one thread at a time.
#pragma once

#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "enterprise/common/ipc/request_impl.h"

namespace Binding::Detail {

template <class Signature>
class ServerCall;

/// See the file comment.
template <class... Args>
class ServerCall<void(Args...)> {
  public:
    using Parameters = std::array<ParameterSpec, sizeof...(Args)>;
    using Arguments = std::tuple<std::remove_cvref_t<Args>...>;

    ServerCall(RequestHeader header, Parameters parameters)
        : header_(std::move(header)), parameters_(std::move(parameters)) {}

    /// Reads the request's parameters into Arguments(). Throws Common::Error when the packet,
    /// its section or a parameter cannot be read.
    void ReadRequest(std::span<const uint8_t> packet) {
        ReadPacket(header_, packet, [this](Serialization::Deserializer& in) {
            ReadSection(in, Serialization::SerializationTag(RequestSectionName(header_)),
                        [&] { ReadArguments(in, std::index_sequence_for<Args...>()); });
        });
    }

    /// The method's arguments, value-initialised until ReadRequest fills them.
    Arguments& GetArguments() { return arguments_; }

    /// The reply packet reporting `result`.
    std::vector<uint8_t> WriteReply(const Common::Error& result) const {
        return WritePacket(header_, [&](Serialization::Serializer& out) {
            const Serialization::SerializationTag section(ReplySectionName(header_));
            out.BeginTag(section);
            out.WriteError(kReplyResultName, result);
            WriteResults(out, std::index_sequence_for<Args...>());
            out.EndTag(section);
        });
    }

  private:
    template <size_t... I>
    void ReadArguments([[maybe_unused]] Serialization::Deserializer& in,
                       std::index_sequence<I...>) {
        ((WritesParameter(parameters_[I].flags)
              ? ReadValue(in, Serialization::SerializationTag(parameters_[I].name),
                          std::get<I>(arguments_))
              : void()),
         ...);
    }

    template <size_t... I>
    void WriteResults([[maybe_unused]] Serialization::Serializer& out,
                      std::index_sequence<I...>) const {
        ((ParameterSlot<Args>::kReadBack && ReadsParameter(parameters_[I].flags)
              ? WriteValue(out, Serialization::SerializationTag(parameters_[I].name),
                           std::get<I>(arguments_))
              : void()),
         ...);
    }

    const RequestHeader header_;
    const Parameters parameters_;
    Arguments arguments_{};
};

}  // namespace Binding::Detail
