#include "enterprise/serialize/xml_packet_deserializer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/common/catalog.h"
#include "core/common/text.h"
#include "core/xml/document.h"
#include "enterprise/serialize/tests/packet_support.h"
#include "enterprise/serialize/xml_packet_serializer.h"

namespace {

using PacketTest::Packet;
using PacketTest::ThrownCode;
using Serialization::kPacketInconsistent;
using Serialization::kPacketNoData;
using Serialization::SerializationTag;
using Serialization::XMLPacketDeserializer;
using Serialization::XMLPacketSerializer;

constexpr Common::Guid kGuid{0x89ABCDEF, 0x0123, 0x4567, {1, 2, 3, 4, 5, 6, 0xFE, 0xFF}};

// A packet holding one value of each kind, at the edges of their ranges.
std::string EveryKind() {
    XMLPacketSerializer out(2, 0);
    const std::vector<uint8_t> bytes = {0, 1, 0xFE, 0xFF, '<'};
    out.WriteBlob("blob", bytes.data(), bytes.size());
    out.WriteBytes("bytes", bytes);
    out.WriteBytes("none", {});
    out.WriteUInt16("u16", 0xFFFF);
    out.WriteInt16("s16", std::numeric_limits<int16_t>::min());
    out.WriteString("narrow", "caf\xE9  <&>\"\x01\n]]>");
    out.WriteInt64("s64", std::numeric_limits<int64_t>::min());
    out.WriteInt32("s32", -1);
    out.WriteUInt64("u64", std::numeric_limits<uint64_t>::max());
    out.WriteDouble("double", -2.5e-300);
    out.WriteUInt32("u32", 0xFFFFFFFFu);
    out.WriteWideString("wide", u" \u20AC\U0001F600\xD800\xFFFF\t\n");
    out.WriteError("error", Common::Error(COMMON_PLACE("Test::EveryKind"), 0x1234, u"failed"));
    out.WriteError("success", Common::Error());
    out.WriteGuid("guid", kGuid);
    out.WriteUInt8("u8", 0xFF);
    out.WriteBool("true", true);
    out.WriteBool("false", false);
    return out.FinishString();
}

TEST(PacketReader, EveryKindRoundTripsInAnyOrder) {
    XMLPacketDeserializer in(EveryKind(), 0);
    // Read from the last to the first, so that every lookup goes by name.
    bool yes = false, no = true;
    in.ReadBool("false", no);
    in.ReadBool("true", yes);
    EXPECT_TRUE(yes);
    EXPECT_FALSE(no);
    uint8_t u8 = 0;
    in.ReadUInt8("u8", u8);
    EXPECT_EQ(u8, 0xFF);
    Common::Guid guid;
    in.ReadGuid("guid", guid);
    EXPECT_EQ(guid, kGuid);
    Common::Error success(COMMON_PLACE("Test::Read"), 1), error;
    in.ReadError("success", success);
    EXPECT_TRUE(success.IsEmpty());
    in.ReadError("error", error);
    EXPECT_EQ(error.Code(), 0x1234u);
    EXPECT_EQ(error.Message(), u"failed");
    std::u16string wide;
    in.ReadWideString("wide", wide);
    EXPECT_EQ(wide, u" \u20AC\U0001F600\xD800\xFFFF\t\n");
    uint32_t u32 = 0;
    in.ReadUInt32("u32", u32);
    EXPECT_EQ(u32, 0xFFFFFFFFu);
    double number = 0;
    in.ReadDouble("double", number);
    EXPECT_EQ(number, -2.5e-300);
    uint64_t u64 = 0;
    in.ReadUInt64("u64", u64);
    EXPECT_EQ(u64, std::numeric_limits<uint64_t>::max());
    int32_t s32 = 0;
    in.ReadInt32("s32", s32);
    EXPECT_EQ(s32, -1);
    int64_t s64 = 0;
    in.ReadInt64("s64", s64);
    EXPECT_EQ(s64, std::numeric_limits<int64_t>::min());
    std::string narrow;
    in.ReadString("narrow", narrow);
    EXPECT_EQ(narrow, "caf\xE9  <&>\"\x01\n]]>");
    int16_t s16 = 0;
    in.ReadInt16("s16", s16);
    EXPECT_EQ(s16, std::numeric_limits<int16_t>::min());
    uint16_t u16 = 0;
    in.ReadUInt16("u16", u16);
    EXPECT_EQ(u16, 0xFFFF);
    std::vector<uint8_t> bytes, blob, none = {1};
    in.ReadBytes("none", none);
    EXPECT_TRUE(none.empty());
    in.ReadBytes("bytes", bytes);
    in.ReadBytes("blob", blob);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 1, 0xFE, 0xFF, '<'}));
    EXPECT_EQ(blob, bytes);
}

TEST(PacketReader, TextsRoundTrip) {
    std::string everyByte;
    for (int c = 0; c < 256; ++c)
        everyByte += static_cast<char>(c);
    const std::vector<std::string> narrow = {
        everyByte, " ", "  ", "a\r\nb", "\n", "x]]>\ny", "<![CDATA[a\nb]]>", "trailing\n", "\r"};
    XMLPacketSerializer out(2, 0);
    for (const std::string& text : narrow)
        out.WriteString("s", text);
    XMLPacketDeserializer in(out.FinishString(), 0);
    SerializationTag ordered("s");
    ordered.ordered = true;
    for (const std::string& text : narrow) {
        std::string read;
        in.ReadString(ordered, read);
        EXPECT_EQ(read, text);
    }
}

TEST(PacketReader, CdataLineEndsReadAsLineFeeds) {
    XMLPacketDeserializer in(Packet("<s><![CDATA[one\r\ntwo\rthree]]></s><b>  </b>"), 0);
    std::string text;
    in.ReadString("s", text);
    EXPECT_EQ(text, "one\ntwo\nthree");
    in.ReadString("b", text);
    EXPECT_EQ(text, "  ");
}

TEST(PacketReader, SixteenBitValuesWrapAsTheirType) {
    XMLPacketDeserializer in(Packet("<a>65535</a><b>65535</b><c>-1</c><d>65536</d><e>256</e>"), 0);
    int16_t signedValue = 0;
    in.ReadInt16("a", signedValue);
    EXPECT_EQ(signedValue, -1);
    uint16_t unsignedValue = 0;
    in.ReadUInt16("b", unsignedValue);
    EXPECT_EQ(unsignedValue, 0xFFFF);
    in.ReadUInt16("c", unsignedValue);
    EXPECT_EQ(unsignedValue, 0xFFFF);
    in.ReadUInt16("d", unsignedValue);
    EXPECT_EQ(unsignedValue, 0);
    bool flag = true;
    in.ReadBool("e", flag);
    EXPECT_FALSE(flag);
}

TEST(PacketReader, MalformedNumbersAreInconsistent) {
    const char* const malformed[] = {"",
                                     "  ",
                                     "12x",
                                     "x12",
                                     "1 2",
                                     "+",
                                     "-",
                                     "+-1",
                                     "0x10",
                                     "1.0",
                                     "１",
                                     "\xC4\xB1",
                                     "18446744073709551616",
                                     "99999999999999999999999"};
    for (const char* text : malformed) {
        XMLPacketDeserializer in(Packet(std::string("<n>") + text + "</n>"), 0);
        uint32_t value = 42;
        EXPECT_EQ(ThrownCode([&] { in.ReadUInt32("n", value); }), kPacketInconsistent) << text;
        EXPECT_EQ(value, 42u);
    }
    XMLPacketDeserializer in(Packet("<a>9223372036854775808</a><b>-9223372036854775809</b>"
                                    "<c> -9223372036854775808\n</c><d>+7</d><e>1e</e>"
                                    "<f>nan(</f><g>1e999</g><h>-0x1p3</h>"),
                             0);
    int64_t value = 0;
    EXPECT_EQ(ThrownCode([&] { in.ReadInt64("a", value); }), kPacketInconsistent);
    EXPECT_EQ(ThrownCode([&] { in.ReadInt64("b", value); }), kPacketInconsistent);
    in.ReadInt64("c", value);
    EXPECT_EQ(value, std::numeric_limits<int64_t>::min());
    in.ReadInt64("d", value);
    EXPECT_EQ(value, 7);
    double number = 0;
    for (const char* name : {"e", "f", "g", "h"}) {
        EXPECT_EQ(ThrownCode([&] { in.ReadDouble(name, number); }), kPacketInconsistent) << name;
    }
}

TEST(PacketReader, DoublesAsScanfReadsThem) {
    XMLPacketDeserializer in(
        Packet("<a>+1.5</a><b> -2E3 </b><c>nan</c><d>-inf</d><e>4.94066e-324</e><f>.5</f>"), 0);
    double value = 0;
    in.ReadDouble("a", value);
    EXPECT_EQ(value, 1.5);
    in.ReadDouble("b", value);
    EXPECT_EQ(value, -2000);
    in.ReadDouble("c", value);
    EXPECT_TRUE(std::isnan(value));
    in.ReadDouble("d", value);
    EXPECT_EQ(value, -std::numeric_limits<double>::infinity());
    in.ReadDouble("e", value);
    EXPECT_EQ(value, std::numeric_limits<double>::denorm_min());
    in.ReadDouble("f", value);
    EXPECT_EQ(value, 0.5);
}

TEST(PacketReader, MalformedBlobsGuidsAndErrors) {
    XMLPacketDeserializer in(Packet("<a>AQ=x</a><b>8AB2D5A0-0000-0000-0000-00000000000</b>"
                                    "<c>{8AB2D5A0-0000-0000-0000-000000000000}</c><d></d>"
                                    "<e> \n </e><f>AQ</f><g>Zm9v</g>"),
                             0);
    std::vector<uint8_t> bytes = {7};
    EXPECT_EQ(ThrownCode([&] { in.ReadBytes("a", bytes); }), kPacketInconsistent);
    EXPECT_EQ(bytes, std::vector<uint8_t>{7});
    Common::Guid guid;
    EXPECT_EQ(ThrownCode([&] { in.ReadGuid("b", guid); }), kPacketInconsistent);
    EXPECT_EQ(ThrownCode([&] { in.ReadGuid("c", guid); }), kPacketInconsistent);
    Common::Error error;
    try {
        in.ReadError("d", error);
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& thrown) {
        EXPECT_EQ(thrown.Code(), kPacketNoData);
        EXPECT_EQ(thrown.Message(), u"SERIALIZER_ERROR_NO_DATA");
        EXPECT_STREQ(thrown.Place().function, "Serialization::XMLPacketDeserializer::Read");
    }
    EXPECT_EQ(ThrownCode([&] { in.ReadError("e", error); }), kPacketNoData);
    // Unpadded base64 of the empty error's byte form; a malformed byte form is a value.
    in.ReadError("f", error);
    EXPECT_TRUE(error.IsEmpty());
    in.ReadError("g", error);
    EXPECT_EQ(error.Code(), Common::kErrorBytesMalformed);
}

TEST(PacketReader, MissingTagIsInconsistentAndKeepsTheCursor) {
    XMLPacketDeserializer in(Packet("<a>1</a><b>2</b>"), 0);
    uint32_t value = 9;
    try {
        in.ReadUInt32("missing", value);
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), kPacketInconsistent);
        EXPECT_EQ(error.Message(),
                  Common::GetCatalogMessage(Common::kMsgPacketInconsistentMetadata));
        EXPECT_STREQ(error.Place().function, "Serialization::XMLPacketDeserializer::Child");
    }
    EXPECT_EQ(value, 9u);
    EXPECT_TRUE(in.NextElementIs("a"));
    // A field missing before the others loses none of them, and the cursor may run out before
    // a lookup by name.
    in.ReadUInt32("b", value);
    EXPECT_EQ(value, 2u);
    in.ReadUInt32("a", value);
    EXPECT_EQ(value, 1u);
    EXPECT_FALSE(in.NextElementIs("a"));
    in.ReadUInt32("b", value);
    EXPECT_EQ(value, 2u);
}

TEST(PacketReader, OrderedTagTakesTheElementAtTheCursor) {
    XMLPacketDeserializer in(Packet("<a>1</a><b>2</b>"), 0);
    SerializationTag ordered("b");
    ordered.ordered = true;
    uint32_t value = 0;
    in.ReadUInt32(ordered, value);
    EXPECT_EQ(value, 1u);
    in.ReadUInt32(ordered, value);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(ThrownCode([&] { in.ReadUInt32(ordered, value); }), kPacketInconsistent);
}

TEST(PacketReader, FirstElementOfANameWins) {
    XMLPacketDeserializer in(Packet("<x>0</x><a>1</a><a>2</a>"), 0);
    uint32_t value = 0;
    in.ReadUInt32("a", value);
    EXPECT_EQ(value, 1u);
    // The cursor moved by one, onto the first "a" again.
    in.ReadUInt32("a", value);
    EXPECT_EQ(value, 1u);
    in.ReadUInt32("a", value);
    EXPECT_EQ(value, 2u);
}

TEST(PacketReader, NestedSectionsAndMetaInfoVersions) {
    XMLPacketDeserializer in(
        Packet("<outer version=\"3\"><inner><v version=\"5\">1</v></inner><w>2</w>"
               "<traits><trait name=\"Is\" type=\"StringValue\">X</trait></traits></outer>"),
        11);
    EXPECT_EQ(in.GetSubjectVersion(), 11u);
    in.BeginTag("outer");
    EXPECT_EQ(in.GetSubjectVersion(), 3u);
    uint32_t value = 0;
    in.ReadUInt32("w", value);
    EXPECT_EQ(value, 2u);
    in.BeginTag("inner");
    EXPECT_EQ(in.GetSubjectVersion(), 3u);
    in.ReadUInt32("v", value);
    EXPECT_EQ(value, 1u);
    in.EndTag("inner");
    EXPECT_EQ(in.GetSubjectVersion(), 3u);
    in.EndTag("outer");
    EXPECT_EQ(in.GetSubjectVersion(), 11u);
    in.BeginTag(SerializationTag());
    in.EndTag(SerializationTag());
    EXPECT_EQ(in.GetSubjectVersion(), 11u);
}

TEST(PacketReader, MalformedVersionAttributeIsInconsistent) {
    XMLPacketDeserializer in(Packet("<a version=\"x1\"></a><b version=\"\"></b>"), 0);
    EXPECT_EQ(ThrownCode([&] { in.BeginTag("a"); }), kPacketInconsistent);
    EXPECT_EQ(ThrownCode([&] { in.BeginTag("b"); }), kPacketInconsistent);
    EXPECT_EQ(in.GetSubjectVersion(), 0u);
}

TEST(PacketReader, EndTagMustCloseTheOpenSection) {
    XMLPacketDeserializer in(Packet("<a><b>1</b></a>"), 0);
    EXPECT_EQ(ThrownCode([&] { in.EndTag("a"); }), kPacketInconsistent);
    EXPECT_NE(PacketTest::AssertionLog().find("XMLPacketDeserializer: Inconsistent meta."),
              std::string::npos);
    EXPECT_EQ(ThrownCode([&] { in.EndTag("XML_SERIALIZER"); }), kPacketInconsistent);
    EXPECT_NE(PacketTest::AssertionLog().find("XMLPacketDeserializer: Stack is empty somehow."),
              std::string::npos);
    in.BeginTag("a");
    EXPECT_EQ(ThrownCode([&] { in.EndTag("b"); }), kPacketInconsistent);
    // The failed end left the section open.
    uint32_t value = 0;
    in.ReadUInt32("b", value);
    EXPECT_EQ(value, 1u);
    in.EndTag("a");
}

// Elements "a" nested `depth` deep inside the root.
std::string Nested(size_t depth) {
    std::string text;
    for (size_t i = 0; i < depth; ++i)
        text += "<a>";
    for (size_t i = 0; i < depth; ++i)
        text += "</a>";
    return Packet(text);
}

TEST(PacketReader, TextThatIsNoPacketIsInconsistent) {
    using Serialization::kMaxPacketBytes;
    using Serialization::kMaxPacketDepth;
    const std::string body(kMaxPacketBytes - Packet("<a></a>").size(), 'x');
    const std::string notPackets[] = {"",
                                      "\xEF\xBB\xBF",
                                      "<a>",
                                      "<a></b>",
                                      "text",
                                      "<a/><b/>",
                                      "<!DOCTYPE a><a/>",
                                      Nested(kMaxPacketDepth),
                                      Packet("<a>" + body + "x</a>")};
    for (const std::string& text : notPackets) {
        try {
            XMLPacketDeserializer in(text, 0);
            ADD_FAILURE() << "read: " << text.substr(0, 40);
        } catch (const Common::Error& error) {
            EXPECT_EQ(error.Code(), kPacketInconsistent);
            EXPECT_EQ(error.Reason().Code(), Xml::kXmlMalformed) << text.substr(0, 40);
        }
    }
    EXPECT_EQ(PacketTest::AssertionLog().find("Cannot read xml document from string."),
              std::string::npos);
    // Right at the depth bound a packet reads.
    EXPECT_NO_THROW(XMLPacketDeserializer(Nested(kMaxPacketDepth - 1), 0));
}

TEST(PacketReader, AnyRootAndAVectorOfBytes) {
    const std::string text = Packet("<a>1</a>");
    XMLPacketDeserializer in(std::vector<uint8_t>(text.begin(), text.end()), 4);
    uint8_t value = 0;
    in.ReadUInt8("a", value);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(in.GetSubjectVersion(), 4u);
}

TEST(PacketReader, ManyValuesInReverseOrder) {
    constexpr uint32_t kCount = 20000;
    XMLPacketSerializer out(2, 0);
    for (uint32_t i = 0; i < kCount; ++i)
        out.WriteUInt32(SerializationTag("v" + std::to_string(i)), i);
    XMLPacketDeserializer in(out.FinishString(), 0);
    for (uint32_t i = kCount; i-- > 0;) {
        uint32_t value = ~0u;
        in.ReadUInt32(SerializationTag("v" + std::to_string(i)), value);
        ASSERT_EQ(value, i);
    }
}

}  // namespace
