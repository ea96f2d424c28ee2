// The text helpers of the unit construction reader: decoding quoted texts and placing offsets
// in lines and columns.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/common/text.h"
#include "enterprise/common/zaph/parser/unit_construction_parser.h"

namespace UnitConstructionParser {
namespace {

// The length of the UTF-8 sequence that `lead` begins; 0 when it begins none.
size_t SequenceLength(uint8_t lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

}  // namespace

std::u16string DecodeText(std::string_view bytes) {
    std::u16string out;
    if (Common::Utf8ToUtf16(bytes, out)) {
        return out;
    }
    out.clear();
    size_t position = 0;
    while (position < bytes.size()) {
        const uint8_t lead = static_cast<uint8_t>(bytes[position]);
        const size_t length = SequenceLength(lead);
        if (length != 0 && position + length <= bytes.size()) {
            std::u16string decoded;
            if (Common::Utf8ToUtf16(bytes.substr(position, length), decoded)) {
                out += decoded;
                position += length;
                continue;
            }
        }
        out.push_back(static_cast<char16_t>(lead));
        ++position;
    }
    return out;
}

TextPosition LocateInText(std::string_view text, size_t offset) {
    TextPosition position;
    const size_t end = offset < text.size() ? offset : text.size();
    for (size_t i = 0; i < end;) {
        const uint8_t lead = static_cast<uint8_t>(text[i]);
        if (lead == '\n') {
            ++position.line;
            position.column = 1;
            ++i;
            continue;
        }
        ++position.column;
        const size_t length = SequenceLength(lead);
        std::u16string decoded;
        if (length > 1 && i + length <= end &&
            Common::Utf8ToUtf16(text.substr(i, length), decoded)) {
            i += length;
        } else {
            ++i;
        }
    }
    return position;
}

}  // namespace UnitConstructionParser
