// Packets: the writer, the reader, containers and unit values, and libxml2 as a peer.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <functional>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/base64.h"
#include "core/common/catalog.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/serialize/container.h"
#include "enterprise/serialize/unit_value.h"
#include "enterprise/serialize/xml_packet_deserializer.h"
#include "enterprise/serialize/xml_packet_serializer.h"
#include "tests/support/trace_recorder.h"

namespace {

using Serialization::ReadUnit;
using Serialization::SerializationTag;
using Serialization::Serializer;
using Serialization::XMLPacketDeserializer;
using Traits = std::vector<Serialization::MetaInfoTrait>;
using Zaph::View::SharedUnitPtr;
using ZaphTest::ErrorOf;
using D = XMLPacketDeserializer;

const std::string kBad = "9C0002 Read";
const auto kWriteNumber = std::mem_fn(&Serializer::WriteUInt32);
const auto kReadNumber = std::mem_fn(&Serialization::Deserializer::ReadUInt32);

// A whole packet around `body`.
std::string Packet(const std::string& body) {
    return std::string("\xEF\xBB\xBF<XML_SERIALIZER>") + body + "</XML_SERIALIZER>";
}

// The body of the packet that `write` makes (the text between the root tags).
std::string Body(const std::function<void(Serializer&)>& write, uint32_t sectionFilter = 0) {
    Serialization::XMLPacketSerializer writer(2, sectionFilter);
    write(writer);
    const std::string packet = writer.FinishString();
    const std::string body =
        packet.substr(Packet("").find("</"), packet.size() - Packet("").size());
    EXPECT_EQ(Packet(body), packet);
    return body;
}

// "<code in hex> <function without its class>" of the error that `action` throws, or "none".
std::string Thrown(const std::function<void()>& action) {
    const Common::Error error = ErrorOf(action);
    if (error.IsEmpty()) {
        return "none";
    }
    const std::string function = error.Place().function;
    std::ostringstream text;
    text << std::hex << std::uppercase << error.Code() << ' '
         << function.substr(function.rfind(':') + 1);
    return text.str();
}

// The trace of a failed assertion with `text`.
testing::Matcher<std::string> Assertion(const std::string& text) {
    return testing::StartsWith("Assertion failed: !\"" + text + "\", file ");
}

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
    EXPECT_EQ(ReadAs(&D::ReadInt64, "9223372036854775808"), kBad);
    EXPECT_EQ(ReadAs(&D::ReadInt64, "-9223372036854775809"), kBad);
    EXPECT_EQ(ReadAs(&D::ReadInt64, " -9223372036854775808\n"), "-9223372036854775808");
    EXPECT_EQ(ReadAs(&D::ReadInt64, "\t+7 "), "7");
    EXPECT_EQ(ReadAs(&D::ReadUInt64, "18446744073709551615"), "18446744073709551615");
    EXPECT_EQ(ReadAs(&D::ReadUInt64, "-1"), "18446744073709551615");
    EXPECT_EQ(ReadAs(&D::ReadInt32, "-2147483649"), "2147483647");
    EXPECT_EQ(ReadAs(&D::ReadInt16, "65535"), "-1");
    EXPECT_EQ(ReadAs(&D::ReadUInt16, "65536"), "0");
    EXPECT_EQ(ReadAs(&D::ReadUInt8, "511"), "255");
    EXPECT_EQ(ReadAs(&D::ReadBool, "256"), "0");
    EXPECT_EQ(ReadAs(&D::ReadBool, "2"), "1");
    const std::pair<std::string, std::string> doubles[] = {
        {"+1.5", "1.5"}, {" -2E3 ", "-2000"}, {"1e", kBad},       {"1e999", kBad},
        {"+-1", kBad},   {"-0x1p3", kBad},    {"\xC4\xB1", kBad}, {"4.94066e-324", "4.94066e-324"}};
    for (const auto& [text, read] : doubles) {
        EXPECT_EQ(ReadAs(&D::ReadDouble, text), read) << text;
    }
}

// Failures have their code, message and place. Text from a peer that is no packet, up to the
// bounds, fails with the packet error, never with an assertion.
TEST(PacketReader, FailuresHaveTheirCodeMessageAndPlaceNoPacketIsInconsistent) {
    const KivoTestSupport::TraceRecorder recorder;
    const std::string filler(Serialization::kMaxPacketBytes - Packet("<a></a>").size(), 'x');
    std::string deep;
    for (int depth = 0; depth < 255; ++depth) {
        deep = "<a>" + deep + "</a>";
    }
    for (const std::string& text :
         {std::string(), Packet("<a>"), std::string("<!DOCTYPE a><a/>"),
          Packet("<a>" + deep + "</a>"), Packet("<a>" + filler + "x</a>")}) {
        const Common::Error error = ErrorOf([&] { XMLPacketDeserializer in(text, 0); });
        EXPECT_EQ(Thrown([&] { throw error; }), "9C0002 XMLPacketDeserializer")
            << text.substr(0, 9);
        EXPECT_EQ(error.Reason().Code(), Xml::kXmlMalformed);
    }
    EXPECT_NO_THROW(XMLPacketDeserializer(Packet(deep), 0));
    const std::string largest = Packet("<a>" + filler + "</a>");
    EXPECT_EQ(XMLPacketDeserializer(std::vector<uint8_t>(largest.begin(), largest.end()), 4)
                  .GetSubjectVersion(),
              4u);
    XMLPacketDeserializer in(
        Packet("<a>AQ=x</a><b>8AB2D5A0-0000-0000-0000-00000000000</b><d>AP8\n8Jg==</d><e></e>"
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
    EXPECT_EQ(Thrown([&] { in.ReadError("e", error); }), "9C0004 Read");
    // Unpadded base64 of the empty error's byte form; a malformed byte form is a value.
    in.ReadError("f", error);
    EXPECT_TRUE(error.IsEmpty());
    in.ReadError("g", error);
    EXPECT_EQ(error.Code(), Common::kErrorBytesMalformed);
    EXPECT_EQ(Thrown([&] { in.BeginTag("v"); }), "9C0002 UpdateMetainfoVersion");
    EXPECT_EQ(Thrown([&] { in.EndTag("s"); }), "9C0002 FinishReadMetaInfo");
    EXPECT_EQ(Thrown([&] { in.EndTag("XML_SERIALIZER"); }), "9C0002 FinishReadMetaInfo");
    EXPECT_EQ(ErrorOf([&] { in.ReadError("e", error); }).Message(), u"SERIALIZER_ERROR_NO_DATA");
    EXPECT_EQ(ErrorOf([&] { in.BeginTag("missing"); }).Message(),
              Common::GetCatalogMessage(Common::kMsgPacketInconsistentMetadata));
    EXPECT_THAT(recorder.Traced(),
                testing::ElementsAre(Assertion("XMLPacketDeserializer: Inconsistent meta."),
                                     Assertion("XMLPacketDeserializer: Stack is empty somehow.")));
}

// Lookups in a section that inherits its version; a failed end leaves the section open.
TEST(PacketReader, TagsAreFoundAtTheCursorOrByTheirFirstElementInNestedSections) {
    XMLPacketDeserializer in(
        Packet("<outer version=\"3\"><inner><x>0</x><a>1</a><a>2</a><b>3</b></inner><w>4</w>"
               "</outer>"),
        11);
    SerializationTag ordered("b");
    ordered.ordered = true;
    const auto read = [&](const SerializationTag& tag) {
        uint32_t value = 0;
        const std::string thrown = Thrown([&] { in.ReadUInt32(tag, value); });
        return thrown + std::to_string(value);
    };
    in.BeginTag("outer");
    in.BeginTag("inner");
    EXPECT_EQ(in.GetSubjectVersion(), 3u);
    EXPECT_EQ(read("missing"), "9C0002 Child0");
    EXPECT_EQ(read("b"), "none3");
    EXPECT_EQ(read(ordered), "none1") << "a failed lookup kept the cursor, the found one moved it";
    EXPECT_EQ(read("a"), "none2") << "the element at the cursor";
    EXPECT_EQ(read("a"), "none1") << "the first element of a name";
    EXPECT_EQ(read(ordered), "9C0002 Child0");
    EXPECT_EQ(Thrown([&] { in.EndTag("outer"); }), "9C0002 FinishReadMetaInfo");
    in.EndTag("inner");
    EXPECT_EQ(read("w"), "none4");
    in.BeginTag(SerializationTag());
    in.EndTag(SerializationTag());
    in.EndTag("outer");
    EXPECT_EQ(in.GetSubjectVersion(), 11u);
}

// A container reads its items in order until the first other element; an item that does not
// read leaves those read before it and the one it began.
TEST(PacketContainer, ItemsOfAVectorSectionInOrderUntilTheFirstOtherElement) {
    EXPECT_EQ(
        Body([](Serializer& out) { WriteVector(out, std::vector<uint32_t>(), kWriteNumber); }),
        "<vector></vector>");
    XMLPacketDeserializer in(Packet("<vector><item>1</item><item>0</item><item>2</item><other/>"
                                    "<item>3</item></vector><vector><item>1</item><item>x</item>"
                                    "</vector>"),
                             0);
    std::vector<uint32_t> numbers = {7};
    ReadVector(in, numbers, kReadNumber);
    EXPECT_EQ(numbers, (std::vector<uint32_t>{1, 0, 2}));
    EXPECT_EQ(Thrown([&] { ReadVector(in, numbers, kReadNumber); }), kBad);
    EXPECT_EQ(numbers, (std::vector<uint32_t>{1, 0}));
    XMLPacketDeserializer none(Packet("<list/>"), 0);
    EXPECT_EQ(Thrown([&] { ReadVector(none, numbers, kReadNumber); }), "9C0002 Child");
}

// Unit values round trip. One that does not read ('X' is no tag of the binary form; no "is_empty";
// bad base64; an item without "is_empty") closes what it opened and keeps the target, so that the
// section around it closes and the next value reads, without an assertion (a fuzzer's finding).
TEST(PacketUnitValue, RoundTripAndAFailedUnitOrContainerLeavesTheReaderBalanced) {
    const KivoTestSupport::TraceRecorder recorder;
    const std::vector<SharedUnitPtr> units = {ZaphTest::DWord(80), nullptr, ZaphTest::DWord(443)};
    Zaph::Blob blob;
    Zaph::Util::WriteUnitToBlob(*units[0], blob);
    std::string base64;
    Common::Base64Encode(blob.data(), blob.size(), base64);
    const std::string body =
        Body([&](Serializer& out) { WriteVector(out, units, Serialization::WriteUnit); });
    EXPECT_TRUE(body.starts_with("<vector><item><is_empty>0</is_empty><value>" + base64 +
                                 "</value></item><item><is_empty>1</is_empty></item><item>"))
        << body;
    XMLPacketDeserializer in(
        Packet("<s>" + body +
               "<Key><is_empty>0</is_empty><value>WA==</value></Key><Update><value>WA==</value>"
               "</Update><Bad><is_empty>0</is_empty><value>*</value></Bad><vector><item>"
               "<is_empty>1</is_empty></item><item/></vector><Type>2</Type></s>"),
        0);
    in.BeginTag("s");
    const SharedUnitPtr before = ZaphTest::Nil();
    SharedUnitPtr unit = before;
    std::vector<SharedUnitPtr> read = {before};
    ReadVector(in, read, ReadUnit);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_TRUE(read[0] && Zaph::Util::UnitsEqual(*read[0], *units[0]));
    EXPECT_EQ(read[1], nullptr);
    EXPECT_TRUE(read[2] && Zaph::Util::UnitsEqual(*read[2], *units[2]));
    EXPECT_EQ(ErrorOf([&] { ReadUnit(in, "Key", unit); }).Code(), Zaph::Errors::kUnitCorrupted);
    EXPECT_EQ(Thrown([&] { ReadUnit(in, "Update", unit); }), "9C0002 Child");
    EXPECT_EQ(Thrown([&] { ReadUnit(in, "Bad", unit); }), "9C0002 Read");
    EXPECT_EQ(unit, before);
    EXPECT_EQ(Thrown([&] { ReadVector(in, read, ReadUnit); }), "9C0002 Child");
    EXPECT_TRUE(in.NextElementIs("Type"));
    EXPECT_EQ(Thrown([&] { in.EndTag("s"); }), "none");
    EXPECT_EQ(recorder.Traced(), std::vector<std::string>());
}

// A packet of each kind of value but errors, texts that XML 1.0 can carry and a versioned record
// with traits; with the body our writer must write and the text each element must read as.
std::string WriteEveryKind(std::string& body, std::vector<std::string>& texts) {
    Serialization::XMLPacketSerializer out(2, 0);
    const auto add = [&](const std::string& written, const std::string& text) {
        body += "<v>" + written + "</v>";
        texts.push_back(text);
    };
    out.WriteBytes("v", {0, 0xFF, '<', '&', 0x80, 0x3E});
    out.WriteUInt16("v", 0xFFFF);
    out.WriteInt16("v", -1);
    out.WriteInt32("v", INT32_MIN);
    out.WriteUInt32("v", 0xFFFFFFFFu);
    out.WriteInt64("v", INT64_MIN);
    out.WriteUInt64("v", UINT64_MAX);
    out.WriteUInt8("v", 255);
    out.WriteBool("v", true);
    out.WriteDouble("v", 0.1);
    out.WriteDouble("v", 123456789.0);
    out.WriteGuid("v", {0xDEADBEEF, 0x0102, 0xa0b0, {255, 0, 1, 2, 3, 4, 5, 138}});
    // The texts of the values above, in their order.
    for (const char* text : {"AP88JoA+", "65535", "-1", "-2147483648", "4294967295",
                             "-9223372036854775808", "18446744073709551615", "255", "1", "0.1",
                             "1.23457e+08", "DEADBEEF-0102-A0B0-FF00-01020304058A"}) {
        add(text, text);
    }
    // Blanks survive readers that trim; markup and "]]>" go as references; texts of several
    // lines go as CDATA unless they hold what CDATA cannot. Narrow texts are bytes as characters.
    const std::pair<std::string, std::string> narrow[] = {
        {" a  b ", "&#32;a &#32;b&#32;"},
        {"<a href=\"x\">&amp;</a>", "&lt;a href=\"x\">&amp;amp;&lt;/a>"},
        {"]]>]>", "]]&gt;]>"},
        {"\n<&>\t\n", "<![CDATA[\r\n<&>\t\r\n]]>"},
        {"one\n]]>two", "one&#10;]]&gt;two"},
        {"\t\r\n", "&#9;&#13;&#10;"},
        {"caf\xE9\x80\xFF", "caf\xC3\xA9\xC2\x80\xC3\xBF"}};
    const std::pair<std::u16string, std::string> wide[] = {
        {u"caf\u00E9 \u20AC \U0001F600\U0010FFFF",
         "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
        {u"line\n]]", "<![CDATA[line\r\n]]]]>"},
        {u"\uFFFD\uD7FF\uE000", "\xEF\xBF\xBD\xED\x9F\xBF\xEE\x80\x80"}};
    for (const auto& [text, written] : narrow) {
        out.WriteString("v", text);
        add(written, Common::ToUtf8(Common::WidenBytes(text)));
    }
    for (const auto& [text, written] : wide) {
        out.WriteWideString("v", text);
        add(written, Common::ToUtf8(text));
    }
    // The traits section stands last, after the element's own elements; empty, it still stands.
    SerializationTag record("record"), emptyTraits("f");
    record.version = 2;
    record.traits = std::make_shared<Traits>(Traits{{"q\"\n", "<t>", "two\nlines"}});
    record.moreTraits = std::make_shared<Traits>(Traits{{"c", "d", " e"}});
    emptyTraits.moreTraits = std::make_shared<Traits>();
    out.BeginTag(record);
    WriteVector(out, std::vector<uint32_t>{7, 8}, kWriteNumber);
    out.WriteUInt32(emptyTraits, 2);
    out.EndTag(record);
    body +=
        "<record version=\"2\"><vector><item>7</item><item>8</item></vector><f>2<traits></traits>"
        "</f><traits><trait name=\"q&quot;&#10;\" type=\"&lt;t>\"><![CDATA[two\r\nlines]]></trait>"
        "<trait name=\"c\" type=\"d\">&#32;e</trait></traits></record>";
    texts.emplace_back();
    return out.FinishString();
}

// The text of each element of the root, as our reader reads it.
std::vector<std::string> OurTexts(const std::string& packet) {
    Serialization::XMLPacketDeserializer in(packet, 0);
    SerializationTag next("any");
    next.ordered = true;
    std::vector<std::string> texts;
    for (std::u16string text; Thrown([&] { in.ReadWideString(next, text); }) == "none";) {
        texts.push_back(Common::ToUtf8(text));
    }
    return texts;
}

TEST(PacketInterop, Libxml2ReadsOurPacketsAndWeReadItsReserialisation) {
    std::string body;
    std::vector<std::string> texts;
    const std::string packet = WriteEveryKind(body, texts);
    EXPECT_EQ(packet, Packet(body));
    EXPECT_EQ(OurTexts(packet), texts);
    const std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
        xmlReadMemory(packet.data(), static_cast<int>(packet.size()), "packet.xml", nullptr,
                      XML_PARSE_NONET),
        &xmlFreeDoc);
    ASSERT_TRUE(doc) << packet;
    xmlChar* dumped = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc.get(), &dumped, &size, "UTF-8");
    const std::string reserialised(reinterpret_cast<const char*>(dumped), size);
    xmlFree(dumped);
    // As libxml2 gives it: a declaration, no byte order mark, empty elements closed; the
    // attributes (a quote and a line feed among them) and the traits' texts as it read them.
    EXPECT_TRUE(reserialised.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<XML_"));
    EXPECT_NE(reserialised.find("<f>2<traits/></f>"), std::string::npos);
    EXPECT_NE(reserialised.find("<traits><trait name=\"q&quot;&#10;\" type=\"&lt;t&gt;\"><![CDATA["
                                "two\nlines]]></trait><trait name=\"c\" type=\"d\"> e</trait>"),
              std::string::npos)
        << reserialised;
    EXPECT_EQ(OurTexts(reserialised), texts);
    Serialization::XMLPacketDeserializer in(reserialised, 1);
    in.BeginTag("record");
    EXPECT_EQ(in.GetSubjectVersion(), 2u);
}

// What XML 1.0 cannot carry (controls, unpaired surrogates, U+FFFE, U+FFFF) goes as a reference,
// also in a text of several lines, and reads back; so does every byte of a narrow text.
TEST(PacketWriter, CharactersOutsideXmlGoAsReferencesThatReadBack) {
    std::string everyByte(256, '\0');
    std::iota(everyByte.rbegin(), everyByte.rend(), '\0');
    const std::u16string wide = u"\xDFFFx\xFFFF\xFFFD\xD800\n\xFFFE\xD83D";
    const std::string body = Body([&](Serializer& out) {
        out.WriteString("n", std::string("\0\ta\r\x1f", 5));
        out.WriteWideString("w", wide);
        out.WriteString("all", everyByte);
    });
    EXPECT_TRUE(
        body.starts_with("<n>&#0;&#9;a&#13;&#31;</n><w>&#57343;x&#65535;\xEF\xBF\xBD&#55296;"
                         "&#10;&#65534;&#55357;</w><all>"))
        << body;
    Serialization::XMLPacketDeserializer in(Packet(body), 0);
    std::u16string wideBack;
    in.ReadWideString("w", wideBack);
    EXPECT_EQ(wideBack, wide);
    std::string narrowBack;
    in.ReadString("all", narrowBack);
    EXPECT_EQ(narrowBack, everyByte);
}

SerializationTag Tag(const char* name, uint64_t version, uint32_t sectionVersion = 0,
                     uint64_t writtenVersion = 0) {
    SerializationTag tag(name);
    tag.version = version;
    tag.sectionVersion = sectionVersion;
    tag.writtenVersion = writtenVersion;
    return tag;
}

TEST(PacketWriter, VersionsTheSectionFilterAndMisuse) {
    auto write = [](Serializer& out) {
        out.WriteUInt32(Tag("matching", 3, 7, 9), 1);
        out.WriteUInt32(Tag("unversioned", 0, 7, 9), 2);
        out.WriteUInt32(Tag("plain", UINT64_MAX), 3);
        out.WriteUInt32(Tag("other", 3, 8, 9), 4);
        out.WriteUInt32("", 5);
        out.BeginTag(Tag("skipped", 0, 8));
        out.BeginTag(Tag("kept", 0, 7));
        out.WriteUInt32("a", 6);
        out.EndTag(Tag("kept", 0, 7));
        out.EndTag(Tag("skipped", 0, 8));
        out.WriteUInt32("after", 7);
    };
    EXPECT_EQ(Body(write, 7),
              "<matching version=\"9\">1</matching><unversioned>2</unversioned>"
              "<plain version=\"18446744073709551615\">3</plain><after>7</after>");
    EXPECT_EQ(Body(write, 0),
              "<matching version=\"3\">1</matching><unversioned>2</unversioned>"
              "<plain version=\"18446744073709551615\">3</plain><other version=\"3\">4</other>"
              "<skipped><kept><a>6</a></kept></skipped><after>7</after>");
    // An empty packet; misuse leaves the packet well formed.
    const KivoTestSupport::TraceRecorder recorder;
    Serialization::XMLPacketSerializer writer(2, 0);
    const std::vector<uint8_t> bytes = writer.FinishBytes();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), Packet(""));
    writer.WriteUInt8("late", 1);
    EXPECT_EQ(writer.FinishString(), "") << "handed out once";
    // A stray EndTag writes nothing; finishing closes what is left open.
    EXPECT_EQ(Body([](Serializer& out) {
                  out.EndTag("stray");
                  out.BeginTag(Tag("a", 4));
                  out.BeginTag("b");
                  EXPECT_EQ(out.GetCurrentTag().name, "b");
                  out.WriteUInt8("c", 1);
              }),
              "<a version=\"4\"><b><c>1</c></b></a>");
    EXPECT_THAT(
        recorder.Traced(),
        testing::ElementsAre(Assertion("XMLPacketSerializer: write after finish"),
                             Assertion("XMLPacketSerializer: packet finished twice"),
                             Assertion("XMLPacketSerializer: EndTag does not match BeginTag"),
                             Assertion("XMLPacketSerializer: tags left open at finish")));
}

}  // namespace
