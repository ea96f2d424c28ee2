// Helpers of the binding tests: packet texts, and values and units written as packet text.
#pragma once

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "core/common/base64.h"
#include "enterprise/common/ipc/utils.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/serialize/xml_packet_serializer.h"
#include "tests/support/trace_recorder.h"
#include "tests/support/view_manager_doubles.h"

namespace IpcTest {

using KivoTestSupport::TraceRecorder;

inline const std::string kHead = "\xEF\xBB\xBF<XML_SERIALIZER>", kTail = "</XML_SERIALIZER>";

/// The text between the root tags of `packet`.
inline std::string Body(std::span<const uint8_t> packet) {
    const std::string text(packet.begin(), packet.end());
    EXPECT_TRUE(text.starts_with(kHead) && text.ends_with(kTail)) << text;
    return text.substr(kHead.size(), text.size() - kHead.size() - kTail.size());
}

/// A whole packet around `body`, as text and as bytes.
inline std::string PacketText(const std::string& body) {
    return kHead + body + kTail;
}
inline std::vector<uint8_t> Packet(const std::string& body) {
    const std::string text = PacketText(body);
    return std::vector<uint8_t>(text.begin(), text.end());
}

/// "<name><is_empty>…</is_empty><value>base64</value></name>" for `unit` (no value when null).
inline std::string UnitElement(const std::string& name, const Zaph::View::SharedUnitPtr& unit) {
    std::string value;
    if (unit != nullptr) {
        Zaph::Blob blob;
        Zaph::Util::WriteUnitToBlob(*unit, blob);
        Common::Base64Encode(blob.data(), blob.size(), value);
        value = "<value>" + value + "</value>";
    }
    return "<" + name + "><is_empty>" + (unit ? "0" : "1") + "</is_empty>" + value + "</" + name +
           ">";
}

/// `value` written as "v" at format version `version`, which the writer must keep: equal texts
/// mean equal values.
template <class T>
std::string XmlOf(const T& value, uint64_t version = 0) {
    using Binding::Detail::WriteValue;
    Serialization::XMLPacketSerializer out(2, 0xFFFFFFFF);
    out.SetCurrentFormatVersion(version);
    WriteValue(out, Serialization::SerializationTag("v"), value);
    EXPECT_EQ(out.GetCurrentFormatVersion(), version);
    return Body(out.FinishBytes());
}

}  // namespace IpcTest
