#include "core/common/message_format.h"

#include <algorithm>
#include <cstdint>

namespace Common {
namespace {

constexpr size_t kMaxIndexDigits = 63;

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

struct Placeholder {
    size_t begin = std::u16string::npos;  // position of "{"; npos when there is none
    size_t end = 0;                       // position after "}"
    uint64_t index = 0;                   // saturates at UINT64_MAX
};

// The first "{digits}" at or after `from`.
Placeholder FindPlaceholder(std::u16string_view text, size_t from) {
    for (size_t open = text.find(u'{', from); open != std::u16string_view::npos;
         open = text.find(u'{', open + 1)) {
        size_t digitsEnd = open + 1;
        while (digitsEnd < text.size() && IsDigit(text[digitsEnd])) {
            ++digitsEnd;
        }
        if (digitsEnd == open + 1 || digitsEnd == text.size() || text[digitsEnd] != u'}') {
            continue;
        }
        Placeholder found{open, digitsEnd + 1, 0};
        const size_t used = std::min(digitsEnd - (open + 1), kMaxIndexDigits);
        for (size_t i = open + 1; i < open + 1 + used; ++i) {
            const uint64_t digit = text[i] - u'0';
            found.index =
                found.index > (UINT64_MAX - digit) / 10 ? UINT64_MAX : found.index * 10 + digit;
        }
        return found;
    }
    return {};
}

}  // namespace

std::u16string FormatCatalogMessage(std::u16string_view text,
                                    std::span<const std::u16string_view> arguments) {
    std::u16string out;
    size_t copied = 0;
    for (;;) {
        const Placeholder placeholder = FindPlaceholder(text, copied);
        if (placeholder.begin == std::u16string::npos || placeholder.index >= arguments.size()) {
            break;
        }
        out.append(text, copied, placeholder.begin - copied);
        out.append(arguments[placeholder.index]);
        copied = placeholder.end;
    }
    out.append(text, copied);
    return out;
}

std::u16string FormatCatalogMessage(std::u16string_view text,
                                    std::initializer_list<std::u16string_view> arguments) {
    return FormatCatalogMessage(
        text, std::span<const std::u16string_view>(arguments.begin(), arguments.size()));
}

}  // namespace Common
