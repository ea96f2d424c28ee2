// Reads the same documents with libxml2 and with our reader and compares the trees.

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <random>
#include <string>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "core/xml/document.h"

namespace {

// A canonical dump of a tree: names, sorted attributes, text (whitespace rules applied by the
// caller's reader).
std::string DumpOurs(const Xml::Element& element) {
    std::string out = "<" + element.name;
    for (const auto& attribute : element.attributes) {
        out += " " + attribute.name + "=" + Common::ToUtf8(attribute.value);
    }
    out += ">" + Common::ToUtf8(element.text);
    for (const auto& child : element.children)
        out += DumpOurs(*child);
    return out + "</>";
}

bool IsBlankOnly(const xmlChar* text) {
    for (; *text; ++text) {
        if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r')
            return false;
    }
    return true;
}

std::string DumpTheirs(xmlNode* node) {
    std::string out = "<" + std::string(reinterpret_cast<const char*>(node->name));
    for (xmlAttr* attribute = node->properties; attribute; attribute = attribute->next) {
        xmlChar* value = xmlNodeListGetString(node->doc, attribute->children, 1);
        out += " " + std::string(reinterpret_cast<const char*>(attribute->name)) + "=" +
               (value ? reinterpret_cast<const char*>(value) : "");
        xmlFree(value);
    }
    out += ">";
    bool hasElements = false;
    for (xmlNode* child = node->children; child; child = child->next) {
        hasElements = hasElements || child->type == XML_ELEMENT_NODE;
    }
    std::string children;
    for (xmlNode* child = node->children; child; child = child->next) {
        if (child->type == XML_TEXT_NODE) {
            if (!hasElements || !IsBlankOnly(child->content)) {
                out += reinterpret_cast<const char*>(child->content);
            }
        } else if (child->type == XML_CDATA_SECTION_NODE) {
            out += reinterpret_cast<const char*>(child->content);
        } else if (child->type == XML_ELEMENT_NODE) {
            children += DumpTheirs(child);
        }
    }
    return out + children + "</>";
}

std::string ReadWithLibxml2(const std::string& text) {
    xmlDoc* doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "interop.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOBLANKS);
    if (doc == nullptr)
        return "<libxml2 refused>";
    std::string dump = DumpTheirs(xmlDocGetRootElement(doc));
    xmlFreeDoc(doc);
    return dump;
}

// A random well-formed document in the style of our packets, with text only at the leaves or
// as non-blank runs.
std::string RandomDocument(std::mt19937& random, int depth) {
    static const char* const kNames[] = {"item", "vector", "a", "b:c", "x-y", "n.1"};
    static const char* const kTexts[] = {"plain",          "&lt;&amp;&gt;",       "caf\xC3\xA9",
                                         "&#x20AC;&#65;",  "two\r\nlines",        "  blanks  ",
                                         "q&quot;a&apos;", "<![CDATA[a<b\r\n]]>", ""};
    const char* name = kNames[random() % 6];
    std::string out = std::string("<") + name;
    const int attributes = static_cast<int>(random() % 3);
    for (int i = 0; i < attributes; ++i) {
        out += " at" + std::to_string(i) + "=\"" + kTexts[random() % 5] + "\"";
    }
    if (depth == 0 || random() % 3 == 0) {
        return out + ">" + kTexts[random() % 9] + "</" + name + ">";
    }
    out += ">";
    const int children = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < children; ++i) {
        if (random() % 4 == 0)
            out += "\n  ";
        out += RandomDocument(random, depth - 1);
        if (random() % 5 == 0)
            out += "<!-- note -->";
    }
    return out + "</" + name + ">";
}

TEST(XmlInterop, SameTreesAsLibxml2) {
    std::mt19937 random(12345);
    for (int i = 0; i < 300; ++i) {
        std::string text = RandomDocument(random, 5);
        if (i % 2 == 0)
            text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + text;
        const std::string theirs = ReadWithLibxml2(text);
        ASSERT_NE(theirs, "<libxml2 refused>") << text;
        EXPECT_EQ(DumpOurs(Xml::Document::Parse(text).Root()), theirs) << text;
    }
}

TEST(XmlInterop, WhatLibxml2RefusesWeRefuseToo) {
    const char* bad[] = {"<r>",      "<r></s>", "<r a=1/>",        "<r>&nope;</r>",
                         "<r/><r/>", "x<r/>",   "<r a='1' a='2'/>"};
    for (const char* text : bad) {
        EXPECT_EQ(ReadWithLibxml2(text), "<libxml2 refused>") << text;
        EXPECT_THROW(Xml::Document::Parse(text), Common::Error) << text;
    }
}

}  // namespace
