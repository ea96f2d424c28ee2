#include <cstring>
#include <string>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "core/xml/document.h"

namespace Xml {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsNameStart(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || byte == '_' ||
           byte == ':' || byte >= 0x80;
}

bool IsNameChar(char c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

void AppendCodeUnitOrPair(uint32_t value, std::u16string& out) {
    if (value < 0x10000) {
        out.push_back(static_cast<char16_t>(value));  // lone surrogates stay single units
    } else {
        value -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
    }
}

// One element being read, with what its closing needs to know.
struct OpenElement {
    Element* element;
    bool preserve;
    // Ranges of `text` that came from whitespace-only character data, dropped at the close when
    // the element turns out to have element children.
    std::vector<std::pair<size_t, size_t>> blankRuns;
};

class Parser {
  public:
    Parser(std::string_view input, const ReadLimits& limits) : in_(input), limits_(limits) {}

    std::unique_ptr<Element> Run() {
        if (in_.size() > limits_.maxBytes) {
            Fail("the document is larger than the limit of " + std::to_string(limits_.maxBytes) +
                 " bytes");
        }
        if (in_.substr(0, 3) == "\xEF\xBB\xBF") {
            pos_ = 3;
        }
        SkipMisc();
        if (!LookingAt("<") || pos_ + 1 >= in_.size() || !IsNameStart(in_[pos_ + 1])) {
            Fail("no root element");
        }
        auto root = std::make_unique<Element>();
        ReadContent(*root);
        SkipMisc();
        if (pos_ != in_.size()) {
            Fail("content after the root element");
        }
        return root;
    }

  private:
    [[noreturn]] void Fail(const std::string& what) const {
        size_t line = 1;
        size_t column = 1;
        for (size_t i = 0; i < pos_ && i < in_.size(); ++i) {
            if (in_[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        throw Common::Error(COMMON_PLACE("Xml::Document::Parse"), kXmlMalformed,
                            "XML: " + what + " at line " + std::to_string(line) + ", column " +
                                std::to_string(column) + ".");
    }

    bool LookingAt(std::string_view prefix) const {
        return in_.compare(pos_, prefix.size(), prefix) == 0;
    }

    void Expect(char c, const char* what) {
        if (pos_ >= in_.size() || in_[pos_] != c) {
            Fail(std::string("expected ") + what);
        }
        ++pos_;
    }

    void SkipBlanks() {
        while (pos_ < in_.size() && IsBlank(in_[pos_])) {
            ++pos_;
        }
    }

    // Moves past `terminator`, failing with `what` when it never comes.
    size_t SkipPast(std::string_view terminator, const char* what) {
        const size_t found = in_.find(terminator, pos_);
        if (found == std::string_view::npos) {
            pos_ = in_.size();
            Fail(std::string("unterminated ") + what);
        }
        pos_ = found + terminator.size();
        return found;
    }

    // Blanks, comments and processing instructions (the XML declaration among them).
    void SkipMisc() {
        for (;;) {
            SkipBlanks();
            if (LookingAt("<?")) {
                SkipPast("?>", "processing instruction");
            } else if (LookingAt("<!--")) {
                SkipPast("-->", "comment");
            } else if (LookingAt("<!DOCTYPE")) {
                Fail("document type declarations are not accepted");
            } else {
                return;
            }
        }
    }

    std::string ReadName() {
        if (pos_ >= in_.size() || !IsNameStart(in_[pos_])) {
            Fail("expected a name");
        }
        const size_t start = pos_;
        while (pos_ < in_.size() && IsNameChar(in_[pos_])) {
            ++pos_;
        }
        return std::string(in_.substr(start, pos_ - start));
    }

    // Reads a reference after its '&' and appends what it stands for.
    void ReadReference(std::u16string& out) {
        const size_t semicolon = in_.find(';', pos_);
        if (semicolon == std::string_view::npos || semicolon - pos_ > 12) {
            Fail("malformed reference");
        }
        const std::string_view body = in_.substr(pos_, semicolon - pos_);
        if (body.size() >= 2 && body[0] == '#') {
            const bool hex = body[1] == 'x';
            const std::string_view digits = body.substr(hex ? 2 : 1);
            if (digits.empty()) {
                Fail("malformed character reference");
            }
            uint32_t value = 0;
            for (char c : digits) {
                uint32_t digit;
                if (c >= '0' && c <= '9') {
                    digit = static_cast<uint32_t>(c - '0');
                } else if (hex && c >= 'a' && c <= 'f') {
                    digit = static_cast<uint32_t>(c - 'a' + 10);
                } else if (hex && c >= 'A' && c <= 'F') {
                    digit = static_cast<uint32_t>(c - 'A' + 10);
                } else {
                    Fail("malformed character reference");
                }
                value = value * (hex ? 16 : 10) + digit;
                if (value > 0x10FFFF) {
                    Fail("character reference out of range");
                }
            }
            AppendCodeUnitOrPair(value, out);
        } else if (body == "lt") {
            out.push_back(u'<');
        } else if (body == "gt") {
            out.push_back(u'>');
        } else if (body == "amp") {
            out.push_back(u'&');
        } else if (body == "quot") {
            out.push_back(u'"');
        } else if (body == "apos") {
            out.push_back(u'\'');
        } else {
            Fail("unknown entity reference");
        }
        pos_ = semicolon + 1;
    }

    // Appends UTF-8 `raw` with its line ends normalised; in attributes, line ends and tabs become
    // blanks.
    static void AppendNormalised(std::string_view raw, bool attribute, std::u16string& out) {
        size_t start = out.size();
        Common::Utf8ToUtf16(raw, out);
        size_t write = start;
        for (size_t read = start; read < out.size(); ++read) {
            char16_t c = out[read];
            if (c == u'\r') {
                if (read + 1 < out.size() && out[read + 1] == u'\n') {
                    continue;  // the "\n" that follows stands for both
                }
                c = u'\n';
            }
            if (attribute && (c == u'\n' || c == u'\t')) {
                c = u' ';
            }
            out[write++] = c;
        }
        out.resize(write);
    }

    static bool HasLineEndOrTab(std::string_view raw) {
        return raw.find_first_of("\r\n\t") != std::string_view::npos;
    }

    // Reads character data up to the next '<'; returns whether it was whitespace only (without
    // references).
    bool ReadText(std::u16string& out) {
        const char* data = in_.data();
        const size_t size = in_.size();
        bool blankOnly = true;
        while (pos_ < size && data[pos_] != '<') {
            size_t end = pos_;
            if (blankOnly) {
                while (end < size && IsBlank(data[end])) {
                    ++end;
                }
                blankOnly = end == size || data[end] == '<' || data[end] == '&';
            }
            // memchr is far faster than a loop over the characters of long texts.
            const void* markup = std::memchr(data + end, '<', size - end);
            end = markup ? static_cast<size_t>(static_cast<const char*>(markup) - data) : size;
            if (const void* amp = std::memchr(data + pos_, '&', end - pos_)) {
                end = static_cast<size_t>(static_cast<const char*>(amp) - data);
            }
            const bool carriageReturn = std::memchr(data + pos_, '\r', end - pos_) != nullptr;
            const std::string_view raw = in_.substr(pos_, end - pos_);
            pos_ = end;
            if (carriageReturn) {
                AppendNormalised(raw, false, out);
            } else {
                Common::Utf8ToUtf16(raw, out);
            }
            if (pos_ < size && data[pos_] == '&') {
                ++pos_;
                ReadReference(out);
                blankOnly = false;
            }
        }
        return blankOnly;
    }

    std::u16string ReadAttributeValue() {
        if (pos_ >= in_.size() || (in_[pos_] != '"' && in_[pos_] != '\'')) {
            Fail("expected a quoted attribute value");
        }
        const char quote = in_[pos_++];
        std::u16string value;
        for (;;) {
            const size_t start = pos_;
            while (pos_ < in_.size() && in_[pos_] != quote && in_[pos_] != '&' &&
                   in_[pos_] != '<') {
                ++pos_;
            }
            const std::string_view raw = in_.substr(start, pos_ - start);
            if (HasLineEndOrTab(raw)) {
                AppendNormalised(raw, true, value);
            } else {
                Common::Utf8ToUtf16(raw, value);
            }
            if (pos_ >= in_.size()) {
                Fail("unterminated attribute value");
            }
            if (in_[pos_] == '<') {
                Fail("'<' in an attribute value");
            }
            if (in_[pos_] == quote) {
                ++pos_;
                return value;
            }
            ++pos_;
            ReadReference(value);
        }
    }

    // Reads a start tag after its '<' into `element`; returns true when it closed itself.
    bool ReadStartTag(Element& element, bool& preserve) {
        element.name = ReadName();
        for (;;) {
            const size_t before = pos_;
            SkipBlanks();
            if (LookingAt("/>")) {
                pos_ += 2;
                return true;
            }
            if (LookingAt(">")) {
                ++pos_;
                return false;
            }
            if (pos_ == before) {
                Fail("expected a blank, '>' or '/>'");
            }
            Attribute attribute;
            attribute.name = ReadName();
            SkipBlanks();
            Expect('=', "'='");
            SkipBlanks();
            attribute.value = ReadAttributeValue();
            for (const Attribute& seen : element.attributes) {
                if (seen.name == attribute.name) {
                    Fail("attribute " + attribute.name + " given twice");
                }
            }
            if (attribute.name == "xml:space") {
                if (attribute.value == u"preserve") {
                    preserve = true;
                } else if (attribute.value == u"default") {
                    preserve = false;
                }
            }
            element.attributes.push_back(std::move(attribute));
        }
    }

    static void DropBlankRuns(OpenElement& open) {
        if (open.blankRuns.empty() || open.preserve || open.element->children.empty()) {
            return;
        }
        std::u16string kept;
        size_t from = 0;
        for (const auto& [start, end] : open.blankRuns) {
            kept.append(open.element->text, from, start - from);
            from = end;
        }
        kept.append(open.element->text, from, std::u16string::npos);
        open.element->text = std::move(kept);
    }

    // Reads `root` and everything inside it, iteratively, so that depth costs no stack.
    void ReadContent(Element& root) {
        ++pos_;  // the '<' of the root
        std::vector<OpenElement> open;
        bool preserve = false;
        if (ReadStartTag(root, preserve)) {
            return;
        }
        open.push_back({&root, preserve, {}});
        while (!open.empty()) {
            OpenElement& current = open.back();
            std::u16string& text = current.element->text;
            if (pos_ >= in_.size()) {
                Fail("unexpected end of the document inside <" + current.element->name + ">");
            }
            if (in_[pos_] != '<') {
                const size_t start = text.size();
                if (ReadText(text) && text.size() != start) {
                    current.blankRuns.emplace_back(start, text.size());
                }
            } else if (LookingAt("</")) {
                pos_ += 2;
                if (ReadName() != current.element->name) {
                    Fail("end tag does not match <" + current.element->name + ">");
                }
                SkipBlanks();
                Expect('>', "'>'");
                DropBlankRuns(current);
                open.pop_back();
            } else if (LookingAt("<![CDATA[")) {
                pos_ += 9;
                const size_t start = pos_;
                const size_t end = SkipPast("]]>", "CDATA section");
                AppendNormalised(in_.substr(start, end - start), false, text);
            } else if (LookingAt("<!--")) {
                SkipPast("-->", "comment");
            } else if (LookingAt("<?")) {
                SkipPast("?>", "processing instruction");
            } else {
                ++pos_;
                auto child = std::make_unique<Element>();
                Element* raw = child.get();
                current.element->children.push_back(std::move(child));
                bool childPreserve = current.preserve;
                if (!ReadStartTag(*raw, childPreserve)) {
                    if (open.size() >= limits_.maxDepth) {
                        Fail("elements nest deeper than the limit of " +
                             std::to_string(limits_.maxDepth));
                    }
                    open.push_back({raw, childPreserve, {}});  // `current` is not used after this
                }
            }
        }
    }

    std::string_view in_;
    size_t pos_ = 0;
    ReadLimits limits_;
};

}  // namespace

const std::u16string* Element::FindAttribute(std::string_view name) const {
    for (const Attribute& attribute : attributes) {
        if (attribute.name == name) {
            return &attribute.value;
        }
    }
    return nullptr;
}

Document Document::Parse(std::string_view text, const ReadLimits& limits) {
    return Document(Parser(text, limits).Run());
}

Document::~Document() {
    // Tear the tree down without recursion.
    std::vector<std::unique_ptr<Element>> pending;
    if (root_) {
        pending.push_back(std::move(root_));
    }
    while (!pending.empty()) {
        std::unique_ptr<Element> element = std::move(pending.back());
        pending.pop_back();
        for (auto& child : element->children) {
            pending.push_back(std::move(child));
        }
    }
}

}  // namespace Xml
