#include "core/xml/document.h"

#include <gtest/gtest.h>

#include <string>

#include "core/common/error/error.h"
#include "core/common/text.h"

namespace {

using Xml::Document;
using Xml::Element;

std::string Utf8(const std::u16string& text) {
    return Common::ToUtf8(text);
}

// The message of the error that parsing `text` throws, or "" when it parses.
std::string ParseError(std::string_view text, const Xml::ReadLimits& limits = {}) {
    try {
        Document::Parse(text, limits);
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), Xml::kXmlMalformed);
        return Utf8(error.Message());
    }
    return "";
}

TEST(XmlReader, ElementsAttributesAndText) {
    const Document doc = Document::Parse(
        "\xEF\xBB\xBF<?xml version=\"1.0\"?><!-- c --><root a=\"1\" b='two &amp; &quot;'>"
        "<x>hello</x><?pi data?><y/><z k = \"v\" >w</z></root><!-- after -->\n");
    const Element& root = doc.Root();
    EXPECT_EQ(root.name, "root");
    ASSERT_EQ(root.attributes.size(), 2u);
    EXPECT_EQ(Utf8(*root.FindAttribute("b")), "two & \"");
    EXPECT_EQ(root.FindAttribute("c"), nullptr);
    ASSERT_EQ(root.children.size(), 3u);
    EXPECT_EQ(Utf8(root.children[0]->text), "hello");
    EXPECT_EQ(root.children[1]->name, "y");
    EXPECT_TRUE(root.children[1]->text.empty());
    EXPECT_EQ(Utf8(*root.children[2]->FindAttribute("k")), "v");
    EXPECT_EQ(Utf8(root.children[2]->text), "w");
}

TEST(XmlReader, ReferencesIncludingThoseAStrictParserRefuses) {
    const Document doc = Document::Parse(
        "<r>&lt;&gt;&amp;&quot;&apos;&#65;&#x42;&#x43;&#0;&#1;&#9;&#55296;&#xFFFE;&#65535;"
        "&#x1F600;</r>");
    const std::u16string expected = {u'<',
                                     u'>',
                                     u'&',
                                     u'"',
                                     u'\'',
                                     u'A',
                                     u'B',
                                     u'C',
                                     u'\0',
                                     char16_t(1),
                                     u'\t',
                                     char16_t(0xD800),
                                     char16_t(0xFFFE),
                                     char16_t(0xFFFF),
                                     char16_t(0xD83D),
                                     char16_t(0xDE00)};
    EXPECT_EQ(doc.Root().text, expected);
}

TEST(XmlReader, LineEndsAreNormalisedEverywhere) {
    const Document doc = Document::Parse(
        "<r a=\"x\r\ny\tz\" b=\"&#10;\"><t>one\r\ntwo\rthree</t>"
        "<c><![CDATA[a\r\nb ]] > <x>\r]]></c></r>");
    const Element& root = doc.Root();
    EXPECT_EQ(Utf8(*root.FindAttribute("a")), "x y z");
    EXPECT_EQ(Utf8(*root.FindAttribute("b")), "\n") << "a reference is kept as given";
    EXPECT_EQ(Utf8(root.children[0]->text), "one\ntwo\nthree");
    EXPECT_EQ(Utf8(root.children[1]->text), "a\nb ]] > <x>\n");
}

TEST(XmlReader, BlankTextIsDroppedOnlyBetweenChildElements) {
    const Document doc = Document::Parse(
        "<r>\n  <v>  </v>\n  <w xml:space=\"preserve\">\n <i/> </w>\n"
        "  <m> a <i/> </m><n>&#32;<i/></n></r>");
    const Element& root = doc.Root();
    EXPECT_TRUE(root.text.empty());
    EXPECT_EQ(Utf8(root.children[0]->text), "  ") << "a blank value without children survives";
    EXPECT_EQ(Utf8(root.children[1]->text), "\n  ") << "preserved";
    EXPECT_EQ(Utf8(root.children[2]->text), " a ") << "only whitespace-only runs are dropped";
    EXPECT_EQ(Utf8(root.children[3]->text), " ") << "a run with a reference is kept";

    const Document inherited = Document::Parse(
        "<r xml:space=\"preserve\"> <a> <b/> </a><c xml:space=\"default\"> <b/> </c></r>");
    EXPECT_EQ(Utf8(inherited.Root().children[0]->text), "  ");
    EXPECT_TRUE(inherited.Root().children[1]->text.empty());
}

TEST(XmlReader, Utf8TextAndNames) {
    const Document doc =
        Document::Parse("<r\xC3\xA9 a=\"\xE2\x82\xAC\">caf\xC3\xA9 \xFF</r\xC3\xA9>");
    EXPECT_EQ(doc.Root().name, "r\xC3\xA9");
    EXPECT_EQ(*doc.Root().FindAttribute("a"), u"\u20AC");
    EXPECT_EQ(doc.Root().text, u"caf\u00E9 \uFFFD");
}

TEST(XmlReader, MalformedInputThrowsWithAPlace) {
    EXPECT_NE(ParseError(""), "");
    EXPECT_NE(ParseError("   "), "");
    EXPECT_NE(ParseError("text"), "");
    EXPECT_EQ(
        ParseError("<r>\n<a></b></r>").rfind("XML: end tag does not match <a> at line 2, ", 0), 0u);
    const char* bad[] = {
        "<r>",
        "<r></r><s/>",
        "<r a=1/>",
        "<r a=\"1\" a=\"2\"/>",
        "<r>&bogus;</r>",
        "<r>&#xZZ;</r>",
        "<r>&#1114112;</r>",
        "<r>&amp</r>",
        "<r><![CDATA[x</r>",
        "<r><!-- x</r>",
        "<!DOCTYPE r><r/>",
        "<r a=\"<\"/>",
        "<r/>x",
        "<1r/>",
        "<r b=\"x/>",
        "<r\"/>",
        "<r>&#;</r>",
        "<r>&#X41;</r>",
        "<r></r >trail",
        "<r><a></r></a>",
        "<r a/>",
    };
    for (const char* text : bad) {
        EXPECT_NE(ParseError(text), "") << text;
    }
}

TEST(XmlReader, LimitsAreEnforced) {
    Xml::ReadLimits small;
    small.maxBytes = 10;
    EXPECT_NE(ParseError("<root></root>", small).find("larger than the limit"), std::string::npos);

    std::string deep;
    for (int i = 0; i < 100; ++i)
        deep += "<a>";
    for (int i = 0; i < 100; ++i)
        deep += "</a>";
    Xml::ReadLimits shallow;
    shallow.maxDepth = 50;
    EXPECT_NE(ParseError(deep, shallow).find("nest deeper"), std::string::npos);
    EXPECT_EQ(ParseError(deep), "");
}

TEST(XmlReader, DeepAndWideDocumentsAreReadWithoutRecursion) {
    std::string deep;
    for (int i = 0; i < 4000; ++i)
        deep += "<a>";
    deep += "x";
    for (int i = 0; i < 4000; ++i)
        deep += "</a>";
    const Document doc = Document::Parse(deep);
    const Element* element = &doc.Root();
    int depth = 1;
    while (!element->children.empty()) {
        element = element->children[0].get();
        ++depth;
    }
    EXPECT_EQ(depth, 4000);
    EXPECT_EQ(element->text, u"x");

    std::string wide = "<r";
    for (int i = 0; i < 2000; ++i)
        wide += " a" + std::to_string(i) + "=\"v\"";
    wide += "/>";
    EXPECT_EQ(Document::Parse(wide).Root().attributes.size(), 2000u);
}

}  // namespace
