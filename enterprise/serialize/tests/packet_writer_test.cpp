// The packet writer's texts, and libxml2 as a peer: it reads our packets with the texts we meant,
// and our reader reads what libxml2 wrote them back as.

#include "enterprise/serialize/xml_packet_serializer.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/common/text.h"
#include "enterprise/serialize/container.h"
#include "enterprise/serialize/tests/packet_support.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using PacketTest::Body;
using Serialization::SerializationTag;
using Serialization::Serializer;
using Traits = std::vector<Serialization::MetaInfoTrait>;

// A packet of every kind of value but errors, of texts that XML 1.0 can carry, and of a versioned
// record with traits around a container: the body our writer must write, and the text that each
// element of the root must read as.
struct EveryKind {
    std::string packet;
    std::string body;
    std::vector<std::string> texts;
};

EveryKind WriteEveryKind() {
    const std::pair<std::function<void(Serializer&)>, std::string> values[] = {
        {[](Serializer& o) {
             o.WriteBytes("v", {0, 0xFF, '<', '&', 0x80, 0x3E});
         },
         "AP88JoA+"},
        {[](Serializer& o) { o.WriteBytes("v", {}); }, ""},
        {[](Serializer& o) { o.WriteUInt16("v", 0xFFFF); }, "65535"},
        {[](Serializer& o) { o.WriteInt16("v", -1); }, "-1"},
        {[](Serializer& o) { o.WriteInt32("v", INT32_MIN); }, "-2147483648"},
        {[](Serializer& o) { o.WriteUInt32("v", 0xFFFFFFFFu); }, "4294967295"},
        {[](Serializer& o) { o.WriteInt64("v", INT64_MIN); }, "-9223372036854775808"},
        {[](Serializer& o) { o.WriteUInt64("v", UINT64_MAX); }, "18446744073709551615"},
        {[](Serializer& o) { o.WriteUInt8("v", 255); }, "255"},
        {[](Serializer& o) { o.WriteBool("v", true); }, "1"},
        {[](Serializer& o) { o.WriteBool("v", false); }, "0"},
        {[](Serializer& o) { o.WriteDouble("v", 0.1); }, "0.1"},
        {[](Serializer& o) { o.WriteDouble("v", 123456789.0); }, "1.23457e+08"},
        {[](Serializer& o) { o.WriteDouble("v", -1e-20); }, "-1e-20"},
        {[](Serializer& o) { o.WriteDouble("v", 100000.0); }, "100000"},
        {[](Serializer& o) { o.WriteDouble("v", -1.0 / 0.0); }, "-inf"},
        {[](Serializer& o) {
             o.WriteGuid("v", {0xDEADBEEF, 0x0102, 0xa0b0, {255, 0, 1, 2, 3, 4, 5, 138}});
         },
         "DEADBEEF-0102-A0B0-FF00-01020304058A"}};
    // Blanks survive readers that trim; markup and "]]>" go as references; texts of several
    // lines go as CDATA unless they hold what CDATA cannot. Narrow texts are bytes as characters.
    const std::pair<std::string, std::string> narrow[] = {
        {" ", "&#32;"},
        {" a  b ", "&#32;a &#32;b&#32;"},
        {"<a href=\"x\">&amp;</a>", "&lt;a href=\"x\">&amp;amp;&lt;/a>"},
        {"]]>]>", "]]&gt;]>"},
        {"one\ntwo\n", "<![CDATA[one\r\ntwo\r\n]]>"},
        {"\n<&>\t\n", "<![CDATA[\r\n<&>\t\r\n]]>"},
        {"one\n]]>two", "one&#10;]]&gt;two"},
        {"\t\r\n", "&#9;&#13;&#10;"},
        {"caf\xE9\x80\xFF", "caf\xC3\xA9\xC2\x80\xC3\xBF"}};
    const std::pair<std::u16string, std::string> wide[] = {
        {u"caf\u00E9 \u20AC \U0001F600\U0010FFFF",
         "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
        {u"line\n]]", "<![CDATA[line\r\n]]]]>"},
        {u"\uFFFD\uD7FF\uE000", "\xEF\xBF\xBD\xED\x9F\xBF\xEE\x80\x80"}};
    Serialization::XMLPacketSerializer out(2, 0);
    EveryKind every;
    const auto add = [&](const std::string& written, const std::string& text) {
        every.body += "<v>" + written + "</v>";
        every.texts.push_back(text);
    };
    for (const auto& [write, text] : values) {
        write(out);
        add(text, text);
    }
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
    WriteVector(out, std::vector<uint32_t>{7, 8}, PacketTest::WriteNumber);
    out.WriteUInt32(emptyTraits, 2);
    out.EndTag(record);
    every.body +=
        "<record version=\"2\"><vector><item>7</item><item>8</item></vector><f>2<traits></traits>"
        "</f><traits><trait name=\"q&quot;&#10;\" type=\"&lt;t>\"><![CDATA[two\r\nlines]]></trait>"
        "<trait name=\"c\" type=\"d\">&#32;e</trait></traits></record>";
    every.texts.emplace_back();
    every.packet = out.FinishString();
    return every;
}

// The text of each element of the root, as our reader reads it.
std::vector<std::string> OurTexts(const std::string& packet) {
    Serialization::XMLPacketDeserializer in(packet, 0);
    SerializationTag next("any");
    next.ordered = true;
    std::vector<std::string> texts;
    for (std::u16string text;
         PacketTest::Thrown([&] { in.ReadWideString(next, text); }) == "none";) {
        texts.push_back(Common::ToUtf8(text));
    }
    return texts;
}

std::string Property(xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    const std::string text = value ? reinterpret_cast<const char*>(value) : "(none)";
    xmlFree(value);
    return text;
}

TEST(PacketInterop, Libxml2ReadsOurPacketsAndWeReadItsReserialisation) {
    const EveryKind every = WriteEveryKind();
    EXPECT_EQ(every.packet, PacketTest::Packet(every.body));
    EXPECT_EQ(OurTexts(every.packet), every.texts);
    const std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
        xmlReadMemory(every.packet.data(), static_cast<int>(every.packet.size()), "packet.xml",
                      nullptr, XML_PARSE_NONET),
        &xmlFreeDoc);
    ASSERT_TRUE(doc) << every.packet;
    std::vector<std::string> theirs;
    for (xmlNode* node = xmlDocGetRootElement(doc.get())->children; node; node = node->next) {
        ASSERT_EQ(node->type, XML_ELEMENT_NODE) << "text between elements";
        theirs.emplace_back();
        for (xmlNode* child = node->children; child; child = child->next) {
            if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
                theirs.back() += reinterpret_cast<const char*>(child->content);
            }
        }
    }
    EXPECT_EQ(theirs, every.texts);
    xmlNode* record = xmlDocGetRootElement(doc.get())->last;
    EXPECT_EQ(Property(record, "version"), "2");
    xmlNode* trait = record->last->children;
    EXPECT_EQ(Property(trait, "name"), "q\"\n") << "a line feed kept by its reference";
    EXPECT_EQ(Property(trait, "type"), "<t>");
    EXPECT_EQ(reinterpret_cast<const char*>(trait->next->children->content), std::string(" e"));

    xmlChar* dumped = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc.get(), &dumped, &size, "UTF-8");
    const std::string reserialised(reinterpret_cast<const char*>(dumped), size);
    xmlFree(dumped);
    // The shape libxml2 gives it: a declaration, no byte order mark, empty elements closed.
    EXPECT_EQ(reserialised.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<XML_", 0), 0u);
    EXPECT_NE(reserialised.find("<v/>"), std::string::npos);
    EXPECT_EQ(OurTexts(reserialised), every.texts);
    Serialization::XMLPacketDeserializer in(reserialised, 1);
    in.BeginTag("record");
    EXPECT_EQ(in.GetSubjectVersion(), 2u);
    std::vector<uint32_t> numbers;
    ReadVector(in, numbers, PacketTest::ReadNumber);
    EXPECT_EQ(numbers, (std::vector<uint32_t>{7, 8}));
}

// What XML 1.0 cannot carry (control characters, unpaired surrogates, U+FFFE and U+FFFF) goes as
// a reference that our reader reads back; so does every byte of a narrow text.
TEST(PacketWriter, CharactersOutsideXmlGoAsReferencesThatReadBack) {
    std::string everyByte;
    for (int c = 255; c >= 0; --c) {
        everyByte += static_cast<char>(c);
    }
    const std::string controls("\0\ta\r\x1f", 5);
    const std::u16string wide[] = {u"\xDFFFx\xFFFF\xFFFD\xD83D", u"a\n\xD800\xFFFE"};
    const std::string body = Body([&](Serializer& out) {
        out.WriteString("n", controls);
        out.WriteString("n", everyByte);
        out.WriteWideString("w", wide[0]);
        out.WriteWideString("w", wide[1]);
    });
    EXPECT_EQ(body.rfind("<n>&#0;&#9;a&#13;&#31;</n>", 0), 0u) << body;
    EXPECT_TRUE(
        body.ends_with("<w>&#57343;x&#65535;\xEF\xBF\xBD&#55357;</w>"
                       "<w>a&#10;&#55296;&#65534;</w>"))
        << body;
    Serialization::XMLPacketDeserializer in(PacketTest::Packet(body), 0);
    std::string narrowBack;
    for (const std::string& text : {controls, everyByte}) {
        in.ReadString("n", narrowBack);
        EXPECT_EQ(narrowBack, text);
    }
    std::u16string wideBack;
    for (const std::u16string& text : wide) {
        in.ReadWideString("w", wideBack);
        EXPECT_EQ(wideBack, text);
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

TEST(PacketWriter, EmptyPacketAndMisuseLeaveThePacketWellFormed) {
    const KivoTestSupport::TraceRecorder recorder;
    Serialization::XMLPacketSerializer writer(2, 0);
    const std::vector<uint8_t> bytes = writer.FinishBytes();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), PacketTest::Packet(""));
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
    const std::string failed = "XMLPacketSerializer: ";
    EXPECT_EQ(PacketTest::Assertions(recorder),
              (std::vector<std::string>{
                  failed + "write after finish", failed + "packet finished twice",
                  failed + "EndTag does not match BeginTag", failed + "tags left open at finish"}));
}

}  // namespace
