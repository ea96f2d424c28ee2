// Helpers of the binding tests: packet texts, values written as packet text, a recorder of
// assertions and traced errors, and the view manager's test doubles.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/common/trace.h"
#include "enterprise/common/ipc/utils.h"
#include "enterprise/serialize/xml_packet_serializer.h"
#include "tests/support/view_manager_doubles.h"

namespace IpcTest {

/// The text between the root tags of `packet`.
std::string Body(std::span<const uint8_t> packet);
/// A whole packet around `body`, as text and as bytes.
std::string PacketText(const std::string& body);
std::vector<uint8_t> Packet(const std::string& body);
/// "<name><is_empty>…</is_empty><value>base64</value></name>" for `unit` (no value when null).
std::string UnitElement(const std::string& name, const Zaph::View::SharedUnitPtr& unit);

/// `value` written as "v" by a fresh writer set to format version `version`, which it must be
/// again afterwards. Equal texts mean equal values, units compared by their byte form.
template <class T>
std::string XmlOf(const T& value, uint64_t version = 0) {
    using Binding::Detail::WriteValue;
    Serialization::XMLPacketSerializer out(2, 0xFFFFFFFF);
    out.SetCurrentFormatVersion(version);
    WriteValue(out, Serialization::SerializationTag("v"), value);
    EXPECT_EQ(out.GetCurrentFormatVersion(), version);
    return Body(out.FinishBytes());
}

/// Collects, while it lives, the assertion texts (the tests run with BRINTAL_SAFE_ASSERT=event)
/// and the traced errors, as "error <level> <code in hexadecimal>".
class TraceRecorder {
  public:
    TraceRecorder();
    ~TraceRecorder();
    std::vector<std::string> Traced() const;

  private:
    class Tracer;
    std::shared_ptr<Tracer> tracer_;
    std::shared_ptr<Common::Tracer> previous_;
};

}  // namespace IpcTest
