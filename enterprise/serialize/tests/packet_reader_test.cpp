// The packet reader: numbers, failures, lookups, sections and bounds; and containers and unit
// values through the writer and the reader.

#include "enterprise/serialize/xml_packet_deserializer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/common/base64.h"
#include "core/common/catalog.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/serialize/container.h"
#include "enterprise/serialize/tests/packet_support.h"
#include "enterprise/serialize/unit_value.h"

namespace {

using PacketTest::ErrorOf;
using PacketTest::Packet;
using PacketTest::Thrown;
using Serialization::ReadUnit;
using Serialization::SerializationTag;
using Serialization::Serializer;
using Serialization::WriteUnit;
using Serialization::XMLPacketDeserializer;
using Zaph::View::SharedUnitPtr;
using D = XMLPacketDeserializer;

const std::string kBad = "9C0002 Read";

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
    for (const char* text : {"  ", "12x", "9:", "x12", "+", "+-1", "0x10", "1.0", "\xEF\xBC\x91",
                             "\xC4\xB1", "18446744073709551616", "99999999999999999999999"}) {
        EXPECT_EQ(ReadAs(&D::ReadUInt64, text), kBad) << text;
    }
    const std::pair<std::string, std::string> signed64[] = {
        {"9223372036854775808", kBad},
        {"-9223372036854775809", kBad},
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
    const std::pair<std::string, std::string> doubles[] = {
        {"+1.5", "1.5"}, {" -2E3 ", "-2000"}, {"-inf", "-inf"},   {"nan", "nan"},
        {".5", "0.5"},   {"1e", kBad},        {"nan(", kBad},     {"1e999", kBad},
        {"+-1", kBad},   {"-0x1p3", kBad},    {"\xC4\xB1", kBad}, {"4.94066e-324", "4.94066e-324"}};
    for (const auto& [text, read] : doubles) {
        EXPECT_EQ(ReadAs(&D::ReadDouble, text), read) << text;
    }
}

TEST(PacketReader, FailuresHaveTheirCodeMessageAndPlace) {
    const KivoTestSupport::TraceRecorder recorder;
    XMLPacketDeserializer in(
        Packet("<a>AQ=x</a><b>8AB2D5A0-0000-0000-0000-00000000000</b><c>{8AB2D5A0"
               "-0000-0000-0000-000000000000}</c><d>AP8\n8Jg==</d><e></e>"
               "<f>AQ</f><g>Zm9v</g><v version=\"x1\"/><s/>"),
        0);
    std::vector<uint8_t> bytes = {7};
    Common::Guid guid;
    Common::Error error(COMMON_PLACE("Test::Read"), 1);
    EXPECT_EQ(Thrown([&] { in.ReadBytes("a", bytes); }), kBad);
    EXPECT_EQ(bytes, std::vector<uint8_t>{7});
    in.ReadBytes("d", bytes);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 0xFF, '<', '&'})) << "line breaks are skipped";
    EXPECT_EQ(Thrown([&] { in.ReadGuid("b", guid); }), kBad);
    EXPECT_EQ(Thrown([&] { in.ReadGuid("c", guid); }), kBad);
    EXPECT_EQ(Thrown([&] { in.ReadError("e", error); }), "9C0004 Read");
    // Unpadded base64 of the empty error's byte form; a malformed byte form is a value.
    in.ReadError("f", error);
    EXPECT_TRUE(error.IsEmpty());
    in.ReadError("g", error);
    EXPECT_EQ(error.Code(), Common::kErrorBytesMalformed);
    EXPECT_EQ(Thrown([&] { in.BeginTag("v"); }), "9C0002 UpdateMetainfoVersion");
    EXPECT_EQ(Thrown([&] { in.EndTag("s"); }), "9C0002 FinishReadMetaInfo");
    EXPECT_EQ(Thrown([&] { in.EndTag("XML_SERIALIZER"); }), "9C0002 FinishReadMetaInfo");
    EXPECT_EQ(Thrown([&] { in.BeginTag("missing"); }), "9C0002 Child");
    EXPECT_EQ(ErrorOf([&] { in.ReadError("e", error); }).Message(), u"SERIALIZER_ERROR_NO_DATA");
    EXPECT_EQ(ErrorOf([&] { in.BeginTag("missing"); }).Message(),
              Common::GetCatalogMessage(Common::kMsgPacketInconsistentMetadata));
    EXPECT_EQ(PacketTest::Assertions(recorder),
              (std::vector<std::string>{"XMLPacketDeserializer: Inconsistent meta.",
                                        "XMLPacketDeserializer: Stack is empty somehow."}));
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

// Text from a peer that is no packet fails with the packet error, never with an assertion.
TEST(PacketReader, TextThatIsNoPacketIsInconsistentUpToTheBounds) {
    const KivoTestSupport::TraceRecorder recorder;
    const std::string filler(Serialization::kMaxPacketBytes - Packet("<a></a>").size(), 'x');
    for (const std::string& text :
         {std::string(), std::string("text"), std::string("<a></b>"), Packet("<a>"),
          std::string("\xEF\xBB\xBF<a>"), std::string("<!DOCTYPE a><a/>"), Packet(Nested(256)),
          Packet(std::string("<a>") + filler + "x</a>")}) {
        const Common::Error error = ErrorOf([&] { XMLPacketDeserializer in(text, 0); });
        EXPECT_EQ(Thrown([&] { throw error; }), "9C0002 XMLPacketDeserializer")
            << text.substr(0, 9);
        EXPECT_EQ(error.Reason().Code(), Xml::kXmlMalformed);
    }
    EXPECT_NO_THROW(XMLPacketDeserializer(Packet(Nested(255)), 0));
    const std::string largest = Packet(std::string("<a>") + filler + "</a>");
    XMLPacketDeserializer in(std::vector<uint8_t>(largest.begin(), largest.end()), 4);
    EXPECT_EQ(in.GetSubjectVersion(), 4u);
    EXPECT_EQ(PacketTest::Assertions(recorder), std::vector<std::string>());
}

// The numbers read from the container in `body` into a vector that held 7, after the error.
std::string ReadNumbers(const std::string& body) {
    XMLPacketDeserializer in(Packet(body), 0);
    std::vector<uint32_t> read = {7};
    std::string thrown = Thrown([&] { ReadVector(in, read, PacketTest::ReadNumber); });
    for (uint32_t number : read) {
        thrown += " " + std::to_string(number);
    }
    return thrown;
}

TEST(PacketContainer, ItemsOfAVectorSectionInOrderUntilTheFirstOtherElement) {
    const std::string body = PacketTest::Body([](Serializer& out) {
        WriteVector(out, std::vector<uint32_t>{1, 0, 2}, PacketTest::WriteNumber);
        WriteVector(out, std::vector<uint32_t>(), PacketTest::WriteNumber);
    });
    EXPECT_EQ(body, "<vector><item>1</item><item>0</item><item>2</item></vector><vector></vector>");
    EXPECT_EQ(ReadNumbers(body), "none 1 0 2");
    EXPECT_EQ(ReadNumbers("<vector><item>1</item><other/><item>3</item></vector>"), "none 1");
    EXPECT_EQ(ReadNumbers("<list/>"), "9C0002 Child");
    EXPECT_EQ(ReadNumbers("<vector><item>1</item><item>x</item></vector>"), "9C0002 Read 1 0");
}

SharedUnitPtr Machine(uint32_t port) {
    return ZaphTest::WithTrait(
        ZaphTest::Composite(ZaphTest::Prop{"Ports", ZaphTest::Array(ZaphTest::DWord(port))}), "Is",
        ZaphTest::Str(u"Machine \u20AC"));
}

TEST(PacketUnitValue, IsEmptyAndTheBinaryFormInBase64RoundTripAlsoInAVector) {
    const std::vector<SharedUnitPtr> units = {Machine(80), nullptr, Machine(443)};
    Zaph::Blob blob;
    Zaph::Util::WriteUnitToBlob(*units[0], blob);
    std::string base64;
    Common::Base64Encode(blob.data(), blob.size(), base64);
    const std::string body = PacketTest::Body([&](Serializer& out) {
        WriteUnit(out, "Pattern", units[0]);
        WriteUnit(out, "Options", nullptr);
        WriteVector(out, units, WriteUnit);
    });
    EXPECT_EQ(body.substr(0, body.find("<vector>")),
              "<Pattern><is_empty>0</is_empty><value>" + base64 +
                  "</value></Pattern><Options><is_empty>1</is_empty></Options>");
    XMLPacketDeserializer in(Packet(body), 0);
    SharedUnitPtr options = Machine(1), pattern;
    ReadUnit(in, "Options", options);
    EXPECT_EQ(options, nullptr);
    ReadUnit(in, "Pattern", pattern);
    EXPECT_TRUE(pattern && Zaph::Util::UnitsEqual(*pattern, *units[0]));
    std::vector<SharedUnitPtr> read = {Machine(1)};
    ReadVector(in, read, ReadUnit);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[1], nullptr);
    EXPECT_TRUE(read[2] && Zaph::Util::UnitsEqual(*read[2], *units[2]));
}

// A unit or a container of units that does not read closes what it opened and keeps the target,
// so that the section around it still closes and the next value reads, without an assertion.
TEST(PacketUnitValue, AFailedUnitOrContainerLeavesTheReaderBalanced) {
    const KivoTestSupport::TraceRecorder recorder;
    // A corrupted binary form ('X' is no tag), a missing "is_empty", malformed base64, an item
    // without "is_empty".
    XMLPacketDeserializer in(
        Packet("<s><Key><is_empty>0</is_empty><value>WA==</value></Key><Update><value>"
               "WA==</value></Update><Bad><is_empty>0</is_empty><value>*</value></Bad>"
               "<vector><item><is_empty>1</is_empty></item><item/></vector>"
               "<Type>2</Type></s>"),
        0);
    in.BeginTag("s");
    const SharedUnitPtr before = Machine(1);
    SharedUnitPtr unit = before;
    EXPECT_EQ(ErrorOf([&] { ReadUnit(in, "Key", unit); }).Code(), Zaph::Errors::kUnitCorrupted);
    EXPECT_EQ(Thrown([&] { ReadUnit(in, "Update", unit); }), "9C0002 Child");
    EXPECT_EQ(Thrown([&] { ReadUnit(in, "Bad", unit); }), "9C0002 Read");
    EXPECT_EQ(unit, before);
    std::vector<SharedUnitPtr> units;
    EXPECT_EQ(Thrown([&] { ReadVector(in, units, ReadUnit); }), "9C0002 Child");
    uint32_t type = 0;
    in.ReadUInt32("Type", type);
    EXPECT_EQ(type, 2u);
    EXPECT_EQ(Thrown([&] { in.EndTag("s"); }), "none");
    EXPECT_EQ(PacketTest::Assertions(recorder), std::vector<std::string>());
}

}  // namespace
