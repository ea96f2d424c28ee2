// Our packets read by libxml2, and packets that libxml2 wrote read by our reader.

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/common/text.h"
#include "enterprise/serialize/container.h"
#include "enterprise/serialize/xml_packet_deserializer.h"
#include "enterprise/serialize/xml_packet_serializer.h"

namespace {

using Serialization::MetaInfoTrait;
using Serialization::SerializationTag;
using Serialization::XMLPacketDeserializer;

constexpr Common::Guid kGuid{0xDEADBEEF, 0x0102, 0xA0B0, {0xFF, 0, 1, 2, 3, 4, 5, 0x80}};
const std::vector<uint8_t> kBytes = {0, 0xFF, '<', '&', 0x80, 0x3E};

// Narrow texts (bytes as code points) and wide texts without characters that XML 1.0 refuses.
const std::vector<std::string> kNarrowTexts = {
    "",    " ",        "  lead",       "trail  ", "a  b",    "<tag attr=\"1\">&amp;</tag>",
    "]]>", "x]]>y\nz", "two\nlines\n", "\t\r\n",  "caf\xE9", "\xA0\xFF"};
const std::vector<std::u16string> kWideTexts = {u"", u"\u20AC \U0001F600 \u00E9", u"line\n]]",
                                                u" ]]> ", u"\uFFFD\uD7FF\uE000"};

std::string Utf8OfNarrow(const std::string& text) {
    return Common::ToUtf8(Common::WidenBytes(text));
}

struct Written {
    std::string packet;
    // The text content that each value element of the body must have, by element name.
    std::map<std::string, std::string> contents;
};

Written WriteEveryKind() {
    Serialization::XMLPacketSerializer out(2, 0xFFFFFFFF);
    Written written;
    auto expect = [&](const std::string& name, const std::string& content) {
        written.contents[name] = content;
    };
    out.WriteBlob("blob", kBytes.data(), kBytes.size());
    expect("blob", "AP88JoA+");
    out.WriteBytes("empty", {});
    expect("empty", "");
    out.WriteUInt16("u16", 0xFFFF);
    expect("u16", "65535");
    out.WriteInt16("s16", -32768);
    expect("s16", "-32768");
    out.WriteInt64("s64", std::numeric_limits<int64_t>::min());
    expect("s64", "-9223372036854775808");
    out.WriteInt32("s32", -5);
    expect("s32", "-5");
    out.WriteUInt64("u64", std::numeric_limits<uint64_t>::max());
    expect("u64", "18446744073709551615");
    out.WriteDouble("double", 6.02214e23);
    expect("double", "6.02214e+23");
    out.WriteUInt32("u32", 4000000000u);
    expect("u32", "4000000000");
    out.WriteError("error", Common::Error(COMMON_PLACE("Test::WriteEveryKind"), 0x77, u"broken"));
    out.WriteError("success", Common::Error());
    expect("success", "AQ==");
    out.WriteGuid("guid", kGuid);
    expect("guid", "DEADBEEF-0102-A0B0-FF00-010203040580");
    out.WriteUInt8("u8", 200);
    expect("u8", "200");
    out.WriteBool("bool", true);
    expect("bool", "1");
    for (size_t i = 0; i < kNarrowTexts.size(); ++i) {
        out.WriteString(SerializationTag("n" + std::to_string(i)), kNarrowTexts[i]);
        expect("n" + std::to_string(i), Utf8OfNarrow(kNarrowTexts[i]));
    }
    for (size_t i = 0; i < kWideTexts.size(); ++i) {
        out.WriteWideString(SerializationTag("w" + std::to_string(i)), kWideTexts[i]);
        expect("w" + std::to_string(i), Common::ToUtf8(kWideTexts[i]));
    }
    // A versioned record with metadata holding a container.
    SerializationTag record("record");
    record.version = 2;
    record.traits = std::make_shared<std::vector<MetaInfoTrait>>(
        std::vector<MetaInfoTrait>{{"Is", "StringValue", "Kivo::ViewSpec"}, {"q\"", "<", " "}});
    out.BeginTag(record);
    Serialization::WriteVector(out, std::vector<uint32_t>{7, 8},
                               [](Serialization::Serializer& s, const SerializationTag& tag,
                                  uint32_t value) { s.WriteUInt32(tag, value); });
    out.EndTag(record);
    written.packet = out.FinishString();
    return written;
}

void ExpectEveryKind(const std::string& packet) {
    XMLPacketDeserializer in(packet, 1);
    std::vector<uint8_t> bytes;
    in.ReadBytes("blob", bytes);
    EXPECT_EQ(bytes, kBytes);
    in.ReadBytes("empty", bytes);
    EXPECT_TRUE(bytes.empty());
    uint16_t u16 = 0;
    in.ReadUInt16("u16", u16);
    EXPECT_EQ(u16, 0xFFFF);
    int16_t s16 = 0;
    in.ReadInt16("s16", s16);
    EXPECT_EQ(s16, -32768);
    int64_t s64 = 0;
    in.ReadInt64("s64", s64);
    EXPECT_EQ(s64, std::numeric_limits<int64_t>::min());
    int32_t s32 = 0;
    in.ReadInt32("s32", s32);
    EXPECT_EQ(s32, -5);
    uint64_t u64 = 0;
    in.ReadUInt64("u64", u64);
    EXPECT_EQ(u64, std::numeric_limits<uint64_t>::max());
    double number = 0;
    in.ReadDouble("double", number);
    EXPECT_EQ(number, 6.02214e23);
    uint32_t u32 = 0;
    in.ReadUInt32("u32", u32);
    EXPECT_EQ(u32, 4000000000u);
    Common::Error error, success(COMMON_PLACE("Test::ExpectEveryKind"), 1);
    in.ReadError("error", error);
    EXPECT_EQ(error.Code(), 0x77u);
    EXPECT_EQ(error.Message(), u"broken");
    EXPECT_STREQ(error.Place().function, "Test::WriteEveryKind");
    in.ReadError("success", success);
    EXPECT_TRUE(success.IsEmpty());
    Common::Guid guid;
    in.ReadGuid("guid", guid);
    EXPECT_EQ(guid, kGuid);
    uint8_t u8 = 0;
    in.ReadUInt8("u8", u8);
    EXPECT_EQ(u8, 200);
    bool flag = false;
    in.ReadBool("bool", flag);
    EXPECT_TRUE(flag);
    for (size_t i = 0; i < kNarrowTexts.size(); ++i) {
        std::string text;
        in.ReadString(SerializationTag("n" + std::to_string(i)), text);
        EXPECT_EQ(text, kNarrowTexts[i]) << i;
    }
    for (size_t i = 0; i < kWideTexts.size(); ++i) {
        std::u16string text;
        in.ReadWideString(SerializationTag("w" + std::to_string(i)), text);
        EXPECT_EQ(text, kWideTexts[i]) << i;
    }
    in.BeginTag("record");
    EXPECT_EQ(in.GetSubjectVersion(), 2u);
    std::vector<uint32_t> numbers;
    Serialization::ReadVector(in, numbers,
                              [](Serialization::Deserializer& d, const SerializationTag& tag,
                                 uint32_t& value) { d.ReadUInt32(tag, value); });
    EXPECT_EQ(numbers, (std::vector<uint32_t>{7, 8}));
    in.EndTag("record");
    EXPECT_EQ(in.GetSubjectVersion(), 1u);
}

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

DocPtr ReadWithLibxml2(const std::string& text) {
    return DocPtr(xmlReadMemory(text.data(), static_cast<int>(text.size()), "packet.xml", nullptr,
                                XML_PARSE_NONET));
}

std::string Content(xmlNode* node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content != nullptr ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
}

std::string Name(xmlNode* node) {
    return reinterpret_cast<const char*>(node->name);
}

TEST(PacketInterop, Libxml2ReadsOurPacketsWithTheTextsWeMeant) {
    const Written written = WriteEveryKind();
    const DocPtr doc = ReadWithLibxml2(written.packet);
    ASSERT_TRUE(doc) << written.packet;
    xmlNode* root = xmlDocGetRootElement(doc.get());
    EXPECT_EQ(Name(root), "XML_SERIALIZER");
    size_t checked = 0;
    for (xmlNode* node = root->children; node != nullptr; node = node->next) {
        ASSERT_EQ(node->type, XML_ELEMENT_NODE) << "text between elements";
        const auto expected = written.contents.find(Name(node));
        if (expected != written.contents.end()) {
            EXPECT_EQ(Content(node), expected->second) << Name(node);
            ++checked;
        }
    }
    EXPECT_EQ(checked, written.contents.size());
    xmlNode* record = xmlDocGetRootElement(doc.get())->last;
    ASSERT_EQ(Name(record), "record");
    xmlChar* version = xmlGetProp(record, reinterpret_cast<const xmlChar*>("version"));
    EXPECT_STREQ(reinterpret_cast<const char*>(version), "2");
    xmlFree(version);
    // The traits section stands last, its attributes decoded.
    xmlNode* traits = record->last;
    ASSERT_EQ(Name(traits), "traits");
    xmlNode* second = traits->last;
    xmlChar* name = xmlGetProp(second, reinterpret_cast<const xmlChar*>("name"));
    xmlChar* type = xmlGetProp(second, reinterpret_cast<const xmlChar*>("type"));
    EXPECT_STREQ(reinterpret_cast<const char*>(name), "q\"");
    EXPECT_STREQ(reinterpret_cast<const char*>(type), "<");
    EXPECT_EQ(Content(second), " ");
    xmlFree(name);
    xmlFree(type);
}

TEST(PacketInterop, OurReaderReadsWhatLibxml2Reserialised) {
    const Written written = WriteEveryKind();
    ExpectEveryKind(written.packet);
    const DocPtr doc = ReadWithLibxml2(written.packet);
    ASSERT_TRUE(doc);
    xmlChar* dumped = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc.get(), &dumped, &size, "UTF-8");
    ASSERT_NE(dumped, nullptr);
    const std::string reserialised(reinterpret_cast<const char*>(dumped), size);
    xmlFree(dumped);
    // The shape libxml2 gives it: a declaration, no byte order mark, empty elements closed.
    EXPECT_EQ(reserialised.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
    EXPECT_NE(reserialised.find("<empty/>"), std::string::npos);
    EXPECT_EQ(reserialised.find("\xEF\xBB\xBF"), std::string::npos);
    ExpectEveryKind(reserialised);
}

}  // namespace
