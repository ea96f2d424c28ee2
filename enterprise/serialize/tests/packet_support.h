// Helpers shared by the packet tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "enterprise/serialize/xml_packet_serializer.h"

namespace PacketTest {

/// What the writer puts around every packet body.
inline const std::string kPacketHead = "\xEF\xBB\xBF<XML_SERIALIZER>";
inline const std::string kPacketTail = "</XML_SERIALIZER>";

/// The body of the packet that `write` makes (the text between the root tags).
std::string Body(const std::function<void(Serialization::Serializer&)>& write,
                 uint32_t sectionFilter = 0);

/// A whole packet around `body`.
std::string Packet(const std::string& body);

/// The code of the Common::Error that `action` throws, or 0 when it throws none.
uint32_t ThrownCode(const std::function<void()>& action);

/// Everything the assertion handler has reported in this test program so far (the tests send
/// it to a file).
std::string AssertionLog();

}  // namespace PacketTest
