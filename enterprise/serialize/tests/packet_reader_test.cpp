#include "enterprise/serialize/xml_packet_deserializer.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/catalog.h"
#include "enterprise/serialize/tests/packet_support.h"

namespace {

using PacketTest::Packet;
using PacketTest::Thrown;
using PacketTest::ThrownError;
using Serialization::SerializationTag;
using Serialization::XMLPacketDeserializer;
using D = XMLPacketDeserializer;

// Reads `text` as the value of an element with `read`: the value printed, or the error thrown.
template <class T>
std::string ReadAs(void (D::*read)(const SerializationTag&, T&), const std::string& text) {
    XMLPacketDeserializer in(Packet(std::string("<v>") + text + "</v>"), 0);
    const T before = static_cast<T>(42);
    T value = before;
    const std::string thrown = Thrown([&] { (in.*read)("v", value); });
    std::ostringstream printed;
    printed << +value;
    return thrown == "none" ? printed.str() : thrown + (value == before ? "" : " and changed");
}

TEST(PacketReader, NumbersInDecimalTruncatedToTheirType) {
    for (const char* text :
         {"", "  ", "12x", "9:", "x12", "+", "+-1", "0x10", "1.0", "\xEF\xBC\x91", "\xC4\xB1",
          "18446744073709551616", "99999999999999999999999"}) {
        EXPECT_EQ(ReadAs(&D::ReadUInt64, text), "9C0002 Read") << text;
    }
    const std::pair<std::string, std::string> signed64[] = {
        {"9223372036854775808", "9C0002 Read"},
        {"-9223372036854775809", "9C0002 Read"},
        {" -9223372036854775808\n", "-9223372036854775808"},
        {"\t+7 ", "7"}};
    for (const auto& [text, read] : signed64) {
        EXPECT_EQ(ReadAs(&D::ReadInt64, text), read) << text;
    }
    EXPECT_EQ(ReadAs(&D::ReadUInt64, "18446744073709551615"), "18446744073709551615");
    EXPECT_EQ(ReadAs(&D::ReadUInt64, "-1"), "18446744073709551615");
    EXPECT_EQ(ReadAs(&D::ReadUInt32, "4294967295"), "4294967295");
    EXPECT_EQ(ReadAs(&D::ReadInt32, "-2147483648"), "-2147483648");
    EXPECT_EQ(ReadAs(&D::ReadInt16, "65535"), "-1");
    EXPECT_EQ(ReadAs(&D::ReadUInt16, "65536"), "0");
    EXPECT_EQ(ReadAs(&D::ReadUInt8, "511"), "255");
    EXPECT_EQ(ReadAs(&D::ReadBool, "256"), "0");
    EXPECT_EQ(ReadAs(&D::ReadBool, "2"), "1");
    const std::pair<std::string, std::string> doubles[] = {{"+1.5", "1.5"},
                                                           {" -2E3 ", "-2000"},
                                                           {"-inf", "-inf"},
                                                           {"nan", "nan"},
                                                           {".5", "0.5"},
                                                           {"4.94066e-324", "4.94066e-324"},
                                                           {"1e", "9C0002 Read"},
                                                           {"nan(", "9C0002 Read"},
                                                           {"1e999", "9C0002 Read"},
                                                           {"-0x1p3", "9C0002 Read"},
                                                           {"+-1", "9C0002 Read"},
                                                           {"\xC4\xB1", "9C0002 Read"}};
    for (const auto& [text, read] : doubles) {
        EXPECT_EQ(ReadAs(&D::ReadDouble, text), read) << text;
    }
}

TEST(PacketReader, FailuresHaveTheirCodeMessageAndPlace) {
    XMLPacketDeserializer in(
        Packet("<a>AQ=x</a><b>8AB2D5A0-0000-0000-0000-00000000000</b><c>{8AB2D5A0"
               "-0000-0000-0000-000000000000}</c><d>AP8\n8Jg==</d><e></e>"
               "<w> \n </w><f>AQ</f><g>Zm9v</g><v version=\"x1\"/><s/>"),
        0);
    std::vector<uint8_t> bytes = {7};
    Common::Guid guid;
    Common::Error error(COMMON_PLACE("Test::Read"), 1);
    EXPECT_EQ(Thrown([&] { in.ReadBytes("a", bytes); }), "9C0002 Read");
    EXPECT_EQ(bytes, std::vector<uint8_t>{7});
    in.ReadBytes("d", bytes);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 0xFF, '<', '&'})) << "line breaks are skipped";
    EXPECT_EQ(Thrown([&] { in.ReadGuid("b", guid); }), "9C0002 Read");
    EXPECT_EQ(Thrown([&] { in.ReadGuid("c", guid); }), "9C0002 Read");
    EXPECT_EQ(Thrown([&] { in.ReadError("e", error); }), "9C0004 Read");
    EXPECT_EQ(Thrown([&] { in.ReadError("w", error); }), "9C0004 Read");
    // Unpadded base64 of the empty error's byte form; a malformed byte form is a value.
    in.ReadError("f", error);
    EXPECT_TRUE(error.IsEmpty());
    in.ReadError("g", error);
    EXPECT_EQ(error.Code(), Common::kErrorBytesMalformed);
    EXPECT_EQ(Thrown([&] { in.BeginTag("v"); }), "9C0002 UpdateMetainfoVersion");
    EXPECT_EQ(Thrown([&] { in.EndTag("s"); }), "9C0002 FinishReadMetaInfo");
    EXPECT_EQ(Thrown([&] { in.EndTag("XML_SERIALIZER"); }), "9C0002 FinishReadMetaInfo");
    EXPECT_EQ(Thrown([&] { in.BeginTag("missing"); }), "9C0002 Child");
    EXPECT_EQ(ThrownError([&] { in.ReadError("e", error); }).Message(),
              u"SERIALIZER_ERROR_NO_DATA");
    EXPECT_EQ(ThrownError([&] { in.BeginTag("missing"); }).Message(),
              Common::GetCatalogMessage(Common::kMsgPacketInconsistentMetadata));
    const std::string log = PacketTest::AssertionLog();
    EXPECT_NE(log.find("XMLPacketDeserializer: Inconsistent meta."), std::string::npos);
    EXPECT_NE(log.find("XMLPacketDeserializer: Stack is empty somehow."), std::string::npos);
}

TEST(PacketReader, TagsAreFoundAtTheCursorOrByTheirFirstElement) {
    XMLPacketDeserializer in(Packet("<x>0</x><a>1</a><a>2</a><b>3</b>"), 0);
    SerializationTag ordered("b");
    ordered.ordered = true;
    const auto read = [&](const SerializationTag& tag) {
        uint32_t value = 0;
        const std::string thrown = Thrown([&] { in.ReadUInt32(tag, value); });
        return thrown + std::to_string(value);
    };
    EXPECT_EQ(read("missing"), "9C0002 Child0");
    EXPECT_TRUE(in.NextElementIs("x")) << "a failed lookup keeps the cursor";
    EXPECT_EQ(read("b"), "none3");
    EXPECT_EQ(read(ordered), "none1") << "the cursor moved by one, onto the first a";
    EXPECT_EQ(read("a"), "none2") << "the element at the cursor";
    EXPECT_EQ(read("a"), "none1") << "the first element of a name";
    EXPECT_EQ(read("x"), "none0");
    EXPECT_FALSE(in.NextElementIs("b"));
    EXPECT_EQ(read(ordered), "9C0002 Child0");
}

TEST(PacketReader, NestedSectionsAndMetaInfoVersions) {
    XMLPacketDeserializer in(
        Packet("<outer version=\"3\"><inner><v version=\"5\">1</v></inner><w>2</w></outer>"), 11);
    EXPECT_EQ(in.GetSubjectVersion(), 11u);
    in.BeginTag("outer");
    EXPECT_EQ(in.GetSubjectVersion(), 3u);
    in.BeginTag("inner");
    EXPECT_EQ(in.GetSubjectVersion(), 3u) << "inherited";
    in.BeginTag("v");
    EXPECT_EQ(in.GetSubjectVersion(), 5u);
    in.EndTag("v");
    EXPECT_EQ(Thrown([&] { in.EndTag("outer"); }), "9C0002 FinishReadMetaInfo");
    in.EndTag("inner");  // the failed end left it open
    uint32_t value = 0;
    in.ReadUInt32("w", value);
    EXPECT_EQ(value, 2u);
    in.BeginTag(SerializationTag());
    in.EndTag(SerializationTag());
    in.EndTag("outer");
    EXPECT_EQ(in.GetSubjectVersion(), 11u);
}

std::string Nested(size_t depth) {
    return depth == 0 ? std::string() : std::string("<a>") + Nested(depth - 1) + "</a>";
}

TEST(PacketReader, TextThatIsNoPacketIsInconsistentUpToTheBounds) {
    const std::string filler(Serialization::kMaxPacketBytes - Packet("<a></a>").size(), 'x');
    for (const std::string& text :
         {std::string(), std::string("\xEF\xBB\xBF<a>"), std::string("<!DOCTYPE a><a/>"),
          Packet(Nested(256)), Packet(std::string("<a>") + filler + "x</a>")}) {
        const auto read = [&] { XMLPacketDeserializer in(text, 0); };
        EXPECT_EQ(Thrown(read), "9C0002 XMLPacketDeserializer") << text.substr(0, 40);
        EXPECT_EQ(ThrownError(read).Reason().Code(), Xml::kXmlMalformed);
    }
    EXPECT_NO_THROW(XMLPacketDeserializer(Packet(Nested(255)), 0));
    const std::string largest = Packet(std::string("<a>") + filler + "</a>");
    XMLPacketDeserializer in(std::vector<uint8_t>(largest.begin(), largest.end()), 4);
    EXPECT_EQ(in.GetSubjectVersion(), 4u);
}

}  // namespace
