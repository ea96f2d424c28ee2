#include "core/xml/document.h"

#include <gtest/gtest.h>

#include <string>

#include "core/common/error/error.h"
#include "core/common/text.h"

namespace {

TEST(XmlReader, TextRulesAndReferencesThatAStrictParserRefuses) {
    const Xml::Document doc = Xml::Document::Parse(
        "<r a=\"x\ty\" n=\"&#10;\"><t>\xFF&#0;&#9;&#55296;&#xFFFE;&#65536;&#x10FFFF;</t>\r\n"
        "<c><![CDATA[a\r\nb ]] > <x>\r]]></c>\n <v>  </v>\n <w xml:space=\"preserve\">\n <i/> </w>"
        "<m> <i/> a </m><n>&#32;<i/></n><p xml:space=\"preserve\"> <a> <b/> </a>"
        "<d xml:space=\"default\"> <b/> </d></p></r>");
    const Xml::Element& root = doc.Root();
    EXPECT_EQ(*root.FindAttribute("a"), u"x y");
    EXPECT_EQ(*root.FindAttribute("n"), u"\n") << "a reference is kept as given";
    const std::u16string texts[] = {
        {0xFFFD, 0, u'\t', 0xD800, 0xFFFE, 0xD800, 0xDC00, 0xDBFF, 0xDFFF},
        u"a\nb ]] > <x>\n",
        u"  ",    // a blank value without children survives
        u"\n  ",  // preserved
        u" a ",   // only whitespace-only runs are dropped
        u" ",     // a run with a reference is kept
        u" "};
    ASSERT_EQ(root.children.size(), std::size(texts));
    for (size_t i = 0; i < std::size(texts); ++i) {
        EXPECT_EQ(root.children[i]->text, texts[i]) << root.children[i]->name;
    }
    EXPECT_EQ(root.children[6]->children[0]->text, u"  ") << "preserve is inherited";
    EXPECT_EQ(root.children[6]->children[1]->text, u"") << "and the nearest setting wins";
}

// The message of the error that parsing `text` throws, or "" when it parses.
std::string ParseError(std::string_view text, const Xml::ReadLimits& limits = {}) {
    try {
        Xml::Document::Parse(text, limits);
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), Xml::kXmlMalformed);
        return Common::ToUtf8(error.Message());
    }
    return "";
}

std::string Nested(size_t depth) {
    return depth == 0 ? std::string() : std::string("<a>") + Nested(depth - 1) + "</a>";
}

TEST(XmlReader, LimitsHoldAtTheirEdgeAndErrorsNameThePlace) {
    EXPECT_EQ(ParseError("<root></root>", {13, 4096}), "");
    EXPECT_EQ(ParseError("<root></root>", {12, 4096}),
              "XML: the document is larger than the limit of 12 bytes at line 1, column 1.");
    EXPECT_EQ(ParseError(Nested(50), {1 << 20, 50}), "");
    EXPECT_EQ(ParseError(Nested(51), {1 << 20, 50}),
              "XML: elements nest deeper than the limit of 50 at line 1, column 154.");
    EXPECT_EQ(ParseError("<r>\n <a></b></r>"),
              "XML: end tag does not match <a> at line 2, column 8.");
    EXPECT_NE(ParseError("<!DOCTYPE r><r/>"), "") << "no entity definitions are honoured";
}

}  // namespace
