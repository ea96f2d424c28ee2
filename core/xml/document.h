// An XML reader that builds a document tree: the reader under the packet format.
//
// What it reads (XML 1.0 as our peers write it):
// - elements with attributes, character data, CDATA sections, the five entity references
//   (&lt; &gt; &amp; &quot; &apos;) and numeric character references, decimal and hexadecimal;
// - numeric references to any value from 0 to 0x10FFFF, including control characters, lone
//   surrogates (one UTF-16 unit each) and U+FFFE/U+FFFF, which our packet writer emits and a
//   strict XML 1.0 parser would refuse;
// - a byte order mark, an XML declaration, comments and processing instructions, which are
//   skipped; a document type declaration is refused (no entity definitions are honoured).
//
// Text rules:
// - line ends are normalised as XML 1.0 requires: "\r\n" and a lone "\r" become "\n", in text,
//   CDATA and attribute values alike (CDATA written with "\r\n" reads back with "\n");
// - in attribute values a literal tab or line end becomes a blank (references are kept as given);
// - an element's text is its character data and CDATA in document order; a whitespace-only run of
//   character data between tags is dropped in an element that has element children, unless the
//   element or an ancestor has xml:space="preserve" (the nearest setting wins). A whitespace-only
//   text of an element without children is kept, so a blank string value survives.
// - names and text are UTF-8 in the input; invalid UTF-8 in text reads as U+FFFD.
//
// Bounds: the input size and the element nesting depth are limited (ReadLimits); past a bound,
// as on any malformed input, Parse throws Common::Error with code kXmlMalformed and a message
// that names the line and column. Parsing is linear in the input size.
//
// Thread-safety: a Document is immutable after Parse and may be read from several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Xml {

/// Code of the error thrown for malformed or oversized input.
inline constexpr uint32_t kXmlMalformed = 0xA10001;

/// One attribute: its name as written, its decoded value.
struct Attribute {
    std::string name;
    std::u16string value;
};

/// One element of the tree.
struct Element {
    std::string name;
    std::vector<Attribute> attributes;
    std::u16string text;
    std::vector<std::unique_ptr<Element>> children;

    /// The value of the attribute `name`, or null when the element has none.
    const std::u16string* FindAttribute(std::string_view name) const;
};

/// Bounds on what one Parse accepts.
struct ReadLimits {
    size_t maxBytes = 256u << 20;
    size_t maxDepth = 4096;
};

/// A parsed document: its root element.
class Document {
  public:
    /// Parses a whole document; throws Common::Error (kXmlMalformed) on malformed input.
    static Document Parse(std::string_view text, const ReadLimits& limits = ReadLimits());

    Document(Document&&) noexcept = default;
    Document& operator=(Document&&) noexcept = default;
    ~Document();

    const Element& Root() const { return *root_; }

  private:
    explicit Document(std::unique_ptr<Element> root) : root_(std::move(root)) {}
    std::unique_ptr<Element> root_;
};

}  // namespace Xml
