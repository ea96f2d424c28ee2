// Our packets read by libxml2, and packets that libxml2 wrote read by our reader.

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/common/text.h"
#include "enterprise/serialize/container.h"
#include "enterprise/serialize/tests/packet_support.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using Serialization::SerializationTag;

// Narrow texts (bytes as code points) and wide texts that XML 1.0 can carry.
const std::string kNarrow[] = {" ",   "  lead",   "trail  ",      "a  b",   "<t a=\"1\">&amp;</t>",
                               "]]>", "x]]>y\nz", "two\nlines\n", "\t\r\n", "caf\xE9\xA0\xFF"};
const std::u16string kWide[] = {u"\u20AC \U0001F600 \U0010FFFF", u"line\n]]", u" ]]> ",
                                u"\uFFFD\uD7FF\uE000"};

// Every kind of value but errors, the texts above, and a versioned record with traits holding a
// container, written by our writer; with the text that each element of the root must have.
std::pair<std::string, std::vector<std::string>> EveryKind() {
    Serialization::XMLPacketSerializer out(2, 0);
    const std::vector<uint8_t> bytes = {0, 0xFF, '<', '&', 0x80, 0x3E};
    out.WriteBlob("blob", bytes.data(), bytes.size());
    out.WriteBytes("empty", {});
    out.WriteUInt16("u16", 0xFFFF);
    out.WriteInt16("s16", -1);
    out.WriteInt32("s32", std::numeric_limits<int32_t>::min());
    out.WriteUInt32("u32", 0xFFFFFFFFu);
    out.WriteInt64("s64", std::numeric_limits<int64_t>::min());
    out.WriteUInt64("u64", std::numeric_limits<uint64_t>::max());
    out.WriteUInt8("u8", 255);
    out.WriteBool("true", true);
    out.WriteBool("false", false);
    for (double value : {0.1, 123456789.0, -1e-20, 100000.0, -1.0 / 0.0}) {
        out.WriteDouble("double", value);
    }
    out.WriteGuid("guid", {0xDEADBEEF, 0x0102, 0xa0b0, {0xFF, 0, 1, 2, 3, 4, 5, 0x8a}});
    std::vector<std::string> texts = {"AP88JoA+",
                                      "",
                                      "65535",
                                      "-1",
                                      "-2147483648",
                                      "4294967295",
                                      "-9223372036854775808",
                                      "18446744073709551615",
                                      "255",
                                      "1",
                                      "0",
                                      "0.1",
                                      "1.23457e+08",
                                      "-1e-20",
                                      "100000",
                                      "-inf",
                                      "DEADBEEF-0102-A0B0-FF00-01020304058A"};
    for (const std::string& text : kNarrow) {
        out.WriteString("n", text);
        texts.push_back(Common::ToUtf8(Common::WidenBytes(text)));
    }
    for (const std::u16string& text : kWide) {
        out.WriteWideString("w", text);
        texts.push_back(Common::ToUtf8(text));
    }
    SerializationTag record("record");
    record.version = 2;
    record.traits = std::make_shared<std::vector<Serialization::MetaInfoTrait>>(
        std::vector<Serialization::MetaInfoTrait>{{"q\"\n", "<", " "}});
    out.BeginTag(record);
    Serialization::WriteVector(out, std::vector<uint32_t>{7, 8},
                               [](Serialization::Serializer& s, const SerializationTag& tag,
                                  uint32_t value) { s.WriteUInt32(tag, value); });
    out.EndTag(record);
    texts.emplace_back();
    return {out.FinishString(), texts};
}

// The text of each element of the root, as our reader reads it.
std::vector<std::string> OurTexts(const std::string& packet) {
    Serialization::XMLPacketDeserializer in(packet, 0);
    SerializationTag next("any");
    next.ordered = true;
    std::vector<std::string> texts;
    for (std::u16string text;
         PacketTest::ThrownCode([&] { in.ReadWideString(next, text); }) == 0;) {
        texts.push_back(Common::ToUtf8(text));
    }
    return texts;
}

using DocPtr = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

DocPtr ReadWithLibxml2(const std::string& text) {
    return DocPtr(xmlReadMemory(text.data(), static_cast<int>(text.size()), "packet.xml", nullptr,
                                XML_PARSE_NONET),
                  &xmlFreeDoc);
}

std::string Property(xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    const std::string text = value ? reinterpret_cast<const char*>(value) : "(none)";
    xmlFree(value);
    return text;
}

TEST(PacketInterop, Libxml2ReadsOurPacketsWithTheTextsWeMeant) {
    const auto [packet, texts] = EveryKind();
    EXPECT_EQ(OurTexts(packet), texts);
    const DocPtr doc = ReadWithLibxml2(packet);
    ASSERT_TRUE(doc) << packet;
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
    EXPECT_EQ(theirs, texts);
    xmlNode* record = xmlDocGetRootElement(doc.get())->last;
    EXPECT_EQ(Property(record, "version"), "2");
    xmlNode* trait = record->last->children;
    EXPECT_EQ(Property(trait, "name"), "q\"\n") << "a line feed kept by its reference";
    EXPECT_EQ(Property(trait, "type"), "<");
    EXPECT_EQ(reinterpret_cast<const char*>(trait->children->content), std::string(" "));
}

TEST(PacketInterop, OurReaderReadsWhatLibxml2Reserialised) {
    const auto [packet, texts] = EveryKind();
    const DocPtr doc = ReadWithLibxml2(packet);
    ASSERT_TRUE(doc);
    xmlChar* dumped = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc.get(), &dumped, &size, "UTF-8");
    const std::string reserialised(reinterpret_cast<const char*>(dumped), size);
    xmlFree(dumped);
    // The shape libxml2 gives it: a declaration, no byte order mark, empty elements closed.
    EXPECT_EQ(reserialised.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<XML_", 0), 0u);
    EXPECT_NE(reserialised.find("<empty/>"), std::string::npos);
    EXPECT_EQ(OurTexts(reserialised), texts);
    Serialization::XMLPacketDeserializer in(reserialised, 1);
    in.BeginTag("record");
    EXPECT_EQ(in.GetSubjectVersion(), 2u);
    std::vector<uint32_t> numbers;
    Serialization::ReadVector(in, numbers,
                              [](Serialization::Deserializer& d, const SerializationTag& tag,
                                 uint32_t& value) { d.ReadUInt32(tag, value); });
    EXPECT_EQ(numbers, (std::vector<uint32_t>{7, 8}));
}

}  // namespace
