// Helpers shared by the packet tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/common/error/error.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/serialize/xml_packet_serializer.h"
#include "tests/support/trace_recorder.h"

namespace PacketTest {

/// A whole packet around `body`.
inline std::string Packet(const std::string& body) {
    return std::string("\xEF\xBB\xBF<XML_SERIALIZER>") + body + "</XML_SERIALIZER>";
}

/// The body of the packet that `write` makes (the text between the root tags).
inline std::string Body(const std::function<void(Serialization::Serializer&)>& write,
                        uint32_t sectionFilter = 0) {
    Serialization::XMLPacketSerializer writer(2, sectionFilter);
    write(writer);
    const std::string packet = writer.FinishString();
    const std::string body =
        packet.substr(Packet("").find("</"), packet.size() - Packet("").size());
    EXPECT_EQ(Packet(body), packet);
    return body;
}

/// The error that `action` throws; empty when it throws none.
using ZaphTest::ErrorOf;

/// "<code in hex> <function without its class>" of the error that `action` throws, or "none".
inline std::string Thrown(const std::function<void()>& action) {
    const Common::Error error = ErrorOf(action);
    if (error.IsEmpty()) {
        return "none";
    }
    const std::string function = error.Place().function;
    char code[16];
    std::snprintf(code, sizeof code, "%X ", error.Code());
    return code + function.substr(function.rfind(':') + 1);
}

/// The texts of the assertions that `recorder` holds: what stands between the quotes of
/// `Assertion failed: !"<text>", file <file>, line <line>`.
inline std::vector<std::string> Assertions(const KivoTestSupport::TraceRecorder& recorder) {
    std::vector<std::string> texts;
    for (const std::string& text : recorder.Traced()) {
        const size_t begin = text.find('"') + 1;
        texts.push_back(text.substr(begin, text.find("\", file ") - begin));
    }
    return texts;
}

/// Writes and reads a container element that is a number.
inline void WriteNumber(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                        uint32_t value) {
    out.WriteUInt32(tag, value);
}
inline void ReadNumber(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
                       uint32_t& value) {
    in.ReadUInt32(tag, value);
}

}  // namespace PacketTest
