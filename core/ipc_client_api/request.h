// Binding::Request: one remote method call as the IPC client library sees it.
//
// A request names a component of a service and a method of that component, and carries the
// method's parameters. The program builds it (enterprise/common/ipc), hands it to an access point
// (access_point.h) and from then on only the library touches it: it packs the request into a
// request packet, sends that to the component, and hands the component's reply packet back to the
// request, which reads the method's output parameters into the caller's variables.
//
// Packets are the XML packets of enterprise/serialize, but the library never needs to look
// inside them: to the library both are opaque bytes.
//
// Thread-safety: a request is used by one thread at a time (the builder's, then the library's).
// The caller's output variables must stay alive and untouched until the call has ended.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace Binding {

/// See the file comment.
class Request : private Common::NonCopyable {
  public:
    virtual ~Request() = default;

    /// The component of the service that answers the request (271 for the view manager).
    virtual uint32_t GetComponentID() const = 0;
    /// The 1-based number of the method within the component.
    virtual uint32_t GetMethodID() const = 0;

    /// The request packet: every input parameter, ready to be sent. May throw Common::Error.
    virtual std::vector<uint8_t> Pack() const = 0;

    /// Reads the component's reply packet and returns the outcome that the reply reports: empty
    /// when the method succeeded, and then the output parameters were read into the caller's
    /// variables; otherwise the method's error, and the output variables were left as they were.
    /// A reply that cannot be read throws Common::Error, also leaving the output variables as
    /// they were.
    virtual Common::Error DeserializeReply(std::span<const uint8_t> reply) = 0;
};

}  // namespace Binding
