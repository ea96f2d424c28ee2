// Helpers shared by the packet tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "core/common/error/error.h"
#include "enterprise/serialize/xml_packet_serializer.h"

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
inline Common::Error ThrownError(const std::function<void()>& action) {
    try {
        action();
    } catch (const Common::Error& error) {
        return error;
    }
    return Common::Error();
}

/// The code of the error that `action` throws, or 0.
inline uint32_t ThrownCode(const std::function<void()>& action) {
    return ThrownError(action).Code();
}

/// "<code in hex> <function without its class>" of the error that `action` throws, or "none".
inline std::string Thrown(const std::function<void()>& action) {
    const Common::Error error = ThrownError(action);
    const std::string function = error.IsEmpty() ? "none" : error.Place().function;
    char code[16];
    std::snprintf(code, sizeof code, "%X ", error.Code());
    return std::string(error.IsEmpty() ? "" : code) + function.substr(function.rfind(':') + 1);
}

inline const std::string kAssertionLogPath =
    testing::TempDir() + "kivo_serialize_assertions_" + std::to_string(getpid()) + ".log";

// Assertion reports go to a file, from before any assertion can fail; it goes at exit.
inline const bool kAssertionsLogged = [] {
    setenv("BRINTAL_SAFE_ASSERT", "log", 1);
    setenv("BRINTAL_SAFE_ASSERT_LOGFILE", kAssertionLogPath.c_str(), 1);
    return std::atexit([] { std::remove(kAssertionLogPath.c_str()); }) == 0;
}();

/// Everything the assertion handler has reported in this test program so far.
inline std::string AssertionLog() {
    std::stringstream text;
    text << std::ifstream(kAssertionLogPath).rdbuf();
    return text.str();
}

}  // namespace PacketTest
