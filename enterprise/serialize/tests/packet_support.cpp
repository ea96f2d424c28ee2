#include "enterprise/serialize/tests/packet_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/common/error/error.h"

namespace PacketTest {
namespace {

std::string AssertionLogPath() {
    static const std::string path =
        testing::TempDir() + "kivo_serialize_assertions_" + std::to_string(getpid()) + ".log";
    return path;
}

// Sends assertion reports to a file before any assertion can fail, so that tests can look for
// the texts the reader reports; the file goes when the program ends.
const bool kAssertionsLogged = [] {
    setenv("BRINTAL_SAFE_ASSERT", "log", 1);
    setenv("BRINTAL_SAFE_ASSERT_LOGFILE", AssertionLogPath().c_str(), 1);
    std::atexit([] { std::remove(AssertionLogPath().c_str()); });
    return true;
}();

}  // namespace

std::string Body(const std::function<void(Serialization::Serializer&)>& write,
                 uint32_t sectionFilter) {
    Serialization::XMLPacketSerializer writer(2, sectionFilter);
    write(writer);
    const std::string packet = writer.FinishString();
    EXPECT_EQ(packet.substr(0, kPacketHead.size()), kPacketHead);
    EXPECT_GE(packet.size(), kPacketHead.size() + kPacketTail.size());
    EXPECT_EQ(packet.substr(packet.size() - kPacketTail.size()), kPacketTail);
    return packet.substr(kPacketHead.size(),
                         packet.size() - kPacketHead.size() - kPacketTail.size());
}

std::string Packet(const std::string& body) {
    return kPacketHead + body + kPacketTail;
}

uint32_t ThrownCode(const std::function<void()>& action) {
    try {
        action();
    } catch (const Common::Error& error) {
        return error.Code();
    }
    return 0;
}

std::string AssertionLog() {
    (void)kAssertionsLogged;
    std::ifstream file(AssertionLogPath());
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace PacketTest
