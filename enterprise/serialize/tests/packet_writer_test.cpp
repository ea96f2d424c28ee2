#include "enterprise/serialize/xml_packet_serializer.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "enterprise/serialize/tests/packet_support.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using PacketTest::Body;
using Serialization::SerializationTag;
using Serialization::Serializer;

// The text that our reader reads back from the element "s" of `body`.
template <class Text>
Text ReadBack(const std::string& body,
              void (Serialization::Deserializer::*read)(const SerializationTag&, Text&)) {
    Serialization::XMLPacketDeserializer in(PacketTest::Packet(body), 0);
    Text text;
    (in.*read)("s", text);
    return text;
}

// Blanks survive readers that trim; what XML cannot carry as it is goes as a reference; texts of
// several lines go as CDATA unless they hold what CDATA cannot. All of them read back.
TEST(PacketWriter, TextsEscapedOrAsCdata) {
    std::string everyByte;
    for (int c = 255; c >= 0; --c) {
        everyByte += static_cast<char>(c);
    }
    const std::pair<std::string, std::string> narrow[] = {
        {" a  b ", "&#32;a &#32;b&#32;"},
        {"<a href=\"x\">&amp;</a>", "&lt;a href=\"x\">&amp;amp;&lt;/a>"},
        {std::string("\0\ta\r\x1f", 5), "&#0;&#9;a&#13;&#31;"},
        {"]]>]>", "]]&gt;]>"},
        {"one\ntwo", "<![CDATA[one\r\ntwo]]>"},
        {"\n<&>\t\n", "<![CDATA[\r\n<&>\t\r\n]]>"},
        {"one\n]]>two", "one&#10;]]&gt;two"},
        {"one\r\ntwo", "one&#13;&#10;two"},
        {"caf\xE9\x80\xFF", "caf\xC3\xA9\xC2\x80\xC3\xBF"},
        {everyByte, ""}};
    for (const auto& [text, escaped] : narrow) {
        const std::string body = Body([&](Serializer& out) { out.WriteString("s", text); });
        EXPECT_TRUE(escaped.empty() || body == std::string("<s>") + escaped + "</s>") << body;
        EXPECT_EQ(ReadBack(body, &Serialization::Deserializer::ReadString), text);
    }
    const std::pair<std::u16string, std::string> wide[] = {
        {u"caf\u00E9 \u20AC \U0001F600\U0010FFFF",
         "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
        {u"\xDFFFx\xFFFF\xFFFD\xD83D", "&#57343;x&#65535;\xEF\xBF\xBD&#55357;"},
        {u"a\n\xD800\xFFFE", "a&#10;&#55296;&#65534;"}};
    for (const auto& [text, escaped] : wide) {
        const std::string body = Body([&](Serializer& out) { out.WriteWideString("s", text); });
        EXPECT_EQ(body, std::string("<s>") + escaped + "</s>");
        EXPECT_EQ(ReadBack(body, &Serialization::Deserializer::ReadWideString), text);
    }
}

SerializationTag Tag(const char* name, uint64_t version, uint32_t sectionVersion = 0,
                     uint64_t writtenVersion = 0) {
    SerializationTag tag(name);
    tag.version = version;
    tag.sectionVersion = sectionVersion;
    tag.writtenVersion = writtenVersion;
    return tag;
}

TEST(PacketWriter, VersionsAndTheSectionFilter) {
    auto write = [](Serializer& out) {
        out.WriteUInt32(Tag("matching", 3, 7, 9), 1);
        out.WriteUInt32(Tag("unversioned", 0, 7, 9), 2);
        out.WriteUInt32(Tag("plain", std::numeric_limits<uint64_t>::max()), 3);
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
}

TEST(PacketWriter, TraitsSectionStandsLast) {
    using Traits = std::vector<Serialization::MetaInfoTrait>;
    SerializationTag record("spec"), emptyList("f");
    record.traits = std::make_shared<Traits>(Traits{{"Is", "StringValue", "Kivo::ViewSpec"}});
    record.moreTraits =
        std::make_shared<Traits>(Traits{{"a\"b\n", "<t>", "two\nlines"}, {"c", "d", " e"}});
    emptyList.moreTraits = std::make_shared<Traits>();
    EXPECT_EQ(Body([&](Serializer& out) {
                  out.BeginTag(record);
                  out.WriteUInt32("x", 1);
                  out.WriteUInt32(emptyList, 2);
                  out.EndTag(record);
              }),
              "<spec><x>1</x><f>2<traits></traits></f><traits>"
              "<trait name=\"Is\" type=\"StringValue\">Kivo::ViewSpec</trait>"
              "<trait name=\"a&quot;b&#10;\" type=\"&lt;t>\"><![CDATA[two\r\nlines]]></trait>"
              "<trait name=\"c\" type=\"d\">&#32;e</trait></traits></spec>");
}

TEST(PacketWriter, EmptyPacketAndMisuseLeaveThePacketWellFormed) {
    Serialization::XMLPacketSerializer writer(2, 0);
    const std::vector<uint8_t> bytes = writer.FinishBytes();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              "\xEF\xBB\xBF<XML_SERIALIZER></XML_SERIALIZER>");
    writer.WriteUInt8("late", 1);
    EXPECT_EQ(writer.FinishString(), "") << "handed out once";
    const std::string log = PacketTest::AssertionLog();
    EXPECT_NE(log.find("XMLPacketSerializer: write after finish"), std::string::npos);
    EXPECT_NE(log.find("XMLPacketSerializer: packet finished twice"), std::string::npos);
    // A stray EndTag writes nothing; finishing closes what is left open.
    EXPECT_EQ(Body([](Serializer& out) {
                  out.EndTag("stray");
                  out.BeginTag(Tag("a", 4));
                  out.BeginTag("b");
                  EXPECT_EQ(out.GetCurrentTag().name, "b");
                  out.WriteUInt8("c", 1);
              }),
              "<a version=\"4\"><b><c>1</c></b></a>");
}

}  // namespace
