#include "enterprise/serialize/xml_packet_serializer.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "enterprise/serialize/tests/packet_support.h"

namespace {

using PacketTest::Body;
using Serialization::MetaInfoTrait;
using Serialization::SerializationTag;
using Serialization::Serializer;

SerializationTag VersionedTag(const char* name, uint64_t version, uint32_t sectionVersion,
                              uint64_t writtenVersion) {
    SerializationTag tag(name);
    tag.version = version;
    tag.sectionVersion = sectionVersion;
    tag.writtenVersion = writtenVersion;
    return tag;
}

std::string NarrowText(const std::string& text) {
    return Body([&](Serializer& out) { out.WriteString("s", text); });
}

std::string WideText(const std::u16string& text) {
    return Body([&](Serializer& out) { out.WriteWideString("s", text); });
}

TEST(PacketWriter, EmptyPacketIsTheByteOrderMarkAndTheRoot) {
    Serialization::XMLPacketSerializer writer(2, 0);
    const std::vector<uint8_t> bytes = writer.FinishBytes();
    const std::string expected = "\xEF\xBB\xBF<XML_SERIALIZER></XML_SERIALIZER>";
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);
    // The packet is handed out once.
    EXPECT_EQ(writer.FinishString(), "");
}

TEST(PacketWriter, NumbersInDecimal) {
    EXPECT_EQ(Body([](Serializer& out) {
                  out.WriteUInt16("u", 0xFFFF);
                  out.WriteInt16("s", static_cast<int16_t>(0xFFFF));
                  out.WriteInt16("m", std::numeric_limits<int16_t>::min());
              }),
              "<u>65535</u><s>-1</s><m>-32768</m>");
    EXPECT_EQ(Body([](Serializer& out) {
                  out.WriteInt32("a", std::numeric_limits<int32_t>::min());
                  out.WriteUInt32("b", 0xFFFFFFFFu);
                  out.WriteInt64("c", std::numeric_limits<int64_t>::min());
                  out.WriteUInt64("d", std::numeric_limits<uint64_t>::max());
                  out.WriteUInt8("e", 255);
                  out.WriteBool("f", true);
                  out.WriteBool("g", false);
              }),
              "<a>-2147483648</a><b>4294967295</b><c>-9223372036854775808</c>"
              "<d>18446744073709551615</d><e>255</e><f>1</f><g>0</g>");
}

TEST(PacketWriter, DoublesAsPercentG) {
    EXPECT_EQ(Body([](Serializer& out) {
                  out.WriteDouble("a", 0.1);
                  out.WriteDouble("b", 123456789.0);
                  out.WriteDouble("c", -1e-20);
                  out.WriteDouble("d", 100000.0);
                  out.WriteDouble("e", std::numeric_limits<double>::infinity());
              }),
              "<a>0.1</a><b>1.23457e+08</b><c>-1e-20</c><d>100000</d><e>inf</e>");
}

TEST(PacketWriter, GuidsInUpperCaseWithoutBraces) {
    const Common::Guid guid{
        0x0123ABCD, 0xEF01, 0xa2b3, {0xc4, 0xd5, 0xe6, 0xf7, 0x08, 0x19, 0x2a, 0x3b}};
    EXPECT_EQ(Body([&](Serializer& out) { out.WriteGuid("g", guid); }),
              "<g>0123ABCD-EF01-A2B3-C4D5-E6F708192A3B</g>");
}

TEST(PacketWriter, BlobsAndErrorsInBase64) {
    const std::vector<uint8_t> bytes = {0xFB, 0xFF, 0x00, 'a'};
    EXPECT_EQ(Body([&](Serializer& out) {
                  out.WriteBytes("v", bytes);
                  out.WriteBlob("b", bytes.data(), 3);
                  out.WriteBytes("e", {});
                  out.WriteBlob("n", nullptr, 0);
                  out.WriteError("ok", Common::Error());
              }),
              "<v>+/8AYQ==</v><b>+/8A</b><e></e><n></n><ok>AQ==</ok>");
}

TEST(PacketWriter, BlanksSurviveTrimmingReaders) {
    EXPECT_EQ(NarrowText("a  b"), "<s>a &#32;b</s>");
    EXPECT_EQ(NarrowText(" a"), "<s>&#32;a</s>");
    EXPECT_EQ(NarrowText("a b "), "<s>a b&#32;</s>");
    EXPECT_EQ(NarrowText(" "), "<s>&#32;</s>");
    EXPECT_EQ(NarrowText(""), "<s></s>");
}

TEST(PacketWriter, MarkupAndControlCharacters) {
    EXPECT_EQ(NarrowText("<a href=\"x\">&amp;</a>"), "<s>&lt;a href=\"x\">&amp;amp;&lt;/a></s>");
    EXPECT_EQ(NarrowText("a\tb\rc"), "<s>a&#9;b&#13;c</s>");
    EXPECT_EQ(NarrowText(std::string("\0\x1f", 2)), "<s>&#0;&#31;</s>");
    // A '>' that closes "]]>" is escaped so that the content stays well-formed.
    EXPECT_EQ(NarrowText("]]>]>"), "<s>]]&gt;]></s>");
}

TEST(PacketWriter, SeveralLinesAsCdata) {
    EXPECT_EQ(NarrowText("one\ntwo"), "<s><![CDATA[one\r\ntwo]]></s>");
    EXPECT_EQ(NarrowText("\n<&>\t\n"), "<s><![CDATA[\r\n<&>\t\r\n]]></s>");
    // What CDATA cannot carry makes the text go character by character.
    EXPECT_EQ(NarrowText("one\n]]>two"), "<s>one&#10;]]&gt;two</s>");
    EXPECT_EQ(NarrowText("one\r\ntwo"), "<s>one&#13;&#10;two</s>");
    EXPECT_EQ(WideText(u"a\n\xD800"), "<s>a&#10;&#55296;</s>");
    EXPECT_EQ(WideText(u"a\n\xFFFE"), "<s>a&#10;&#65534;</s>");
}

TEST(PacketWriter, NarrowBytesAreCodePoints) {
    EXPECT_EQ(NarrowText("caf\xE9"), "<s>caf\xC3\xA9</s>");
    EXPECT_EQ(NarrowText("\x80\xFF\n"), "<s><![CDATA[\xC2\x80\xC3\xBF\r\n]]></s>");
}

TEST(PacketWriter, WideTextInUtf8) {
    EXPECT_EQ(WideText(u"caf\u00E9 \u20AC \U0001F600"),
              "<s>caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80</s>");
    // Unpaired surrogates (either half) and the two non-characters travel as references.
    EXPECT_EQ(WideText(u"\xDC00x\xD83D"), "<s>&#56320;x&#55357;</s>");
    EXPECT_EQ(WideText(u"\xFFFF\xFFFD"), "<s>&#65535;\xEF\xBF\xBD</s>");
}

TEST(PacketWriter, VersionAttribute) {
    EXPECT_EQ(Body([](Serializer& out) {
                  out.WriteUInt32(VersionedTag("v", 5, 0, 9), 1);
                  out.BeginTag(VersionedTag("s", 18446744073709551615ull, 0, 0));
                  out.EndTag(VersionedTag("s", 18446744073709551615ull, 0, 0));
              }),
              "<v version=\"5\">1</v><s version=\"18446744073709551615\"></s>");
}

TEST(PacketWriter, SectionFilterSelectsTagsAndTheirWrittenVersion) {
    auto write = [](Serializer& out) {
        out.WriteUInt32(VersionedTag("matching", 3, 7, 9), 1);
        out.WriteUInt32(VersionedTag("unversioned", 0, 7, 9), 2);
        out.WriteUInt32(VersionedTag("plain", 3, 0, 9), 3);
        out.WriteUInt32(VersionedTag("other", 3, 8, 9), 4);
    };
    EXPECT_EQ(Body(write, 7),
              "<matching version=\"9\">1</matching><unversioned>2</unversioned>"
              "<plain version=\"3\">3</plain>");
    // Without a filter every tag is written with its own version.
    EXPECT_EQ(Body(write, 0),
              "<matching version=\"3\">1</matching><unversioned>2</unversioned>"
              "<plain version=\"3\">3</plain><other version=\"3\">4</other>");
}

TEST(PacketWriter, FilteredSectionDropsItsNestedContent) {
    EXPECT_EQ(Body(
                  [](Serializer& out) {
                      const SerializationTag skipped = VersionedTag("skipped", 1, 8, 0);
                      const SerializationTag kept = VersionedTag("kept", 0, 7, 0);
                      out.BeginTag("outer");
                      out.BeginTag(skipped);
                      out.WriteUInt32("a", 1);
                      out.BeginTag("inner");
                      out.BeginTag(kept);
                      out.WriteString("b", "x");
                      out.EndTag(kept);
                      out.EndTag("inner");
                      out.BeginTag(skipped);
                      out.EndTag(skipped);
                      out.EndTag(skipped);
                      out.WriteUInt32("after", 2);
                      out.EndTag("outer");
                  },
                  7),
              "<outer><after>2</after></outer>");
}

TEST(PacketWriter, TraitsSectionStandsLast) {
    auto first = std::make_shared<std::vector<MetaInfoTrait>>(
        std::vector<MetaInfoTrait>{{"Is", "StringValue", "Kivo::ViewSpec"}});
    auto second = std::make_shared<std::vector<MetaInfoTrait>>(
        std::vector<MetaInfoTrait>{{"a\"b", "<t>", "two\nlines"}, {"c", "d", " e"}});
    SerializationTag record("spec");
    record.traits = first;
    record.moreTraits = second;
    SerializationTag emptyList("f");
    emptyList.moreTraits = std::make_shared<std::vector<MetaInfoTrait>>();
    EXPECT_EQ(Body([&](Serializer& out) {
                  out.BeginTag(record);
                  out.WriteUInt32("x", 1);
                  out.WriteUInt32(emptyList, 2);
                  out.EndTag(record);
              }),
              "<spec><x>1</x><f>2<traits></traits></f><traits>"
              "<trait name=\"Is\" type=\"StringValue\">Kivo::ViewSpec</trait>"
              "<trait name=\"a&quot;b\" type=\"&lt;t>\"><![CDATA[two\r\nlines]]></trait>"
              "<trait name=\"c\" type=\"d\">&#32;e</trait></traits></spec>");
}

TEST(PacketWriter, EmptyTagNameWritesNothing) {
    EXPECT_EQ(Body([](Serializer& out) {
                  out.BeginTag(SerializationTag());
                  out.WriteUInt32("", 1);
                  out.WriteString(SerializationTag(), "x");
                  out.EndTag(SerializationTag());
              }),
              "");
}

TEST(PacketWriter, CurrentTagAndFormatVersion) {
    Serialization::XMLPacketSerializer writer(2, 0xFFFFFFFF);
    EXPECT_EQ(writer.GetFormatVersion(), 2u);
    EXPECT_EQ(writer.GetCurrentFormatVersion(), 0u);
    writer.SetCurrentFormatVersion(7);
    EXPECT_EQ(writer.GetCurrentFormatVersion(), 7u);
    EXPECT_TRUE(writer.GetCurrentTag().name.empty());
    writer.BeginTag(VersionedTag("outer", 4, 0, 0));
    writer.BeginTag("inner");
    EXPECT_EQ(writer.GetCurrentTag().name, "inner");
    writer.EndTag("inner");
    EXPECT_EQ(writer.GetCurrentTag().name, "outer");
    EXPECT_EQ(writer.GetCurrentTag().version, 4u);
}

TEST(PacketWriter, MisuseKeepsThePacketWellFormed) {
    // An EndTag without a BeginTag writes nothing; finishing closes what is left open.
    EXPECT_EQ(Body([](Serializer& out) {
                  out.EndTag("stray");
                  out.BeginTag("a");
                  out.BeginTag("b");
                  out.WriteUInt8("c", 1);
              }),
              "<a><b><c>1</c></b></a>");
    Serialization::XMLPacketSerializer writer(2, 0);
    writer.WriteUInt8("a", 1);
    const std::string packet = writer.FinishString();
    writer.WriteUInt8("b", 2);
    writer.BeginTag("c");
    EXPECT_EQ(writer.FinishString(), "");
    EXPECT_EQ(packet, PacketTest::Packet("<a>1</a>"));
    EXPECT_NE(PacketTest::AssertionLog().find("XMLPacketSerializer: write after finish"),
              std::string::npos);
}

}  // namespace
