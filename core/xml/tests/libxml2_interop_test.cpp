// Reads the same documents with libxml2 and with our reader and compares the trees: names,
// attributes, then text and the children.

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <string>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "core/xml/document.h"

namespace {

const char* Text(const xmlChar* text) {
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

std::string Dump(const Xml::Element& element) {
    std::string out = element.name + "(";
    for (const auto& [name, value] : element.attributes)
        out.append(name).append("=").append(Common::ToUtf8(value)) += ' ';
    out += Common::ToUtf8(element.text);
    for (const auto& child : element.children)
        out += Dump(*child);
    return out + ")";
}

std::string Dump(xmlNode* node) {
    std::string out = std::string(Text(node->name)) + "(";
    for (xmlAttr* attribute = node->properties; attribute; attribute = attribute->next) {
        xmlChar* value = xmlNodeListGetString(node->doc, attribute->children, 1);
        out.append(Text(attribute->name)).append("=").append(Text(value)) += ' ';
        xmlFree(value);
    }
    std::string children;
    for (xmlNode* child = node->children; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE)
            children += Dump(child);
        else if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE)
            out += Text(child->content);
    }
    return out + children + ")";
}

// libxml2's tree, or "" when it refuses the text; blank text between elements is dropped.
std::string ReadWithLibxml2(const std::string& text) {
    xmlDoc* doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "interop.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOBLANKS | XML_PARSE_NOERROR);
    const std::string dump = doc ? Dump(xmlDocGetRootElement(doc)) : "";
    xmlFreeDoc(doc);
    return dump;
}

TEST(XmlInterop, SameTreesAsLibxml2) {
    const std::string documents[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<item at1=\"&lt;&amp;&gt;\" at2='q&quot;"
        "a&apos;'>plain</item>\n<!-- after -->",
        "\xEF\xBB\xBF<vector>\r\n  <b:c>caf\xC3\xA9</b:c><!-- note --><x-y a=\"two\r\nlines\r"
        "three\" b = \"c\">&#x20AC;&#65;</x-y>\n<n.1>  blanks  </n.1>\r\n</vector>",
        "<a><a><![CDATA[a<b\r\n]]>two\r\nlines\rthree</a><?pi x?><e/><f></f>\n<g/></a>",
    };
    for (const std::string& text : documents) {
        const std::string theirs = ReadWithLibxml2(text);
        ASSERT_NE(theirs, "") << text;
        EXPECT_EQ(Dump(Xml::Document::Parse(text).Root()), theirs) << text;
    }
}

void ExpectBothRefuse(std::initializer_list<const char*> texts) {
    for (const char* text : texts) {
        EXPECT_EQ(ReadWithLibxml2(text), "") << text;
        EXPECT_THROW(Xml::Document::Parse(text), Common::Error) << text;
    }
}

TEST(XmlInterop, WhatLibxml2RefusesWeRefuseToo) {
    ExpectBothRefuse({"", "  ", "text", "x<r/>", "<r>", "<r/><r/>", "<r/>x", "<1r/>", "<r></s>",
                      "<r><a></r></a>", "<r></r >trail"});
    ExpectBothRefuse({"<r a=1/>", "<r a/>", "<r a='1' a='2'/>", "<r a=\"1\"b=\"2\"/>", "<r b=\"x/>",
                      "<r a=\"<\"/>", "<r\"/>"});
    ExpectBothRefuse({"<r>&nope;</r>", "<r>&amp</r>", "<r>&#;</r>", "<r>&#x;</r>", "<r>&#xZZ;</r>",
                      "<r>&#X41;</r>", "<r>&#1114112;</r>", "<r><![CDATA[x</r>", "<r><!-- x</r>"});
}

}  // namespace
