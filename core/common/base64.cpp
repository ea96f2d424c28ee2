#include "core/common/base64.h"

#include <array>
#include <cstring>
#include <type_traits>

namespace Common {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr uint8_t kInvalid = 0xFF;
constexpr uint8_t kSkip = 0xFE;
constexpr uint8_t kPad = 0xFD;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
    std::array<uint8_t, 256> table{};
    for (auto& entry : table)
        entry = kInvalid;
    for (uint8_t i = 0; i < 64; ++i)
        table[static_cast<uint8_t>(kAlphabet[i])] = i;
    table['\t'] = table['\n'] = table['\r'] = table[' '] = kSkip;
    table['='] = kPad;
    return table;
}

constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

// The sextet of a character already shifted to its place in a group; a character outside the
// alphabet sets bit 24, so one test of a whole group finds it.
constexpr std::array<uint32_t, 256> MakeShiftedTable(int shift) {
    std::array<uint32_t, 256> table{};
    for (size_t c = 0; c < 256; ++c) {
        table[c] = kDecode[c] < 64 ? uint32_t{kDecode[c]} << shift : 1u << 24;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kShifted[4] = {MakeShiftedTable(18), MakeShiftedTable(12),
                                                   MakeShiftedTable(6), MakeShiftedTable(0)};

// Two characters for each 12-bit value.
constexpr std::array<char, 8192> MakePairTable() {
    std::array<char, 8192> table{};
    for (size_t value = 0; value < 4096; ++value) {
        table[2 * value] = kAlphabet[value >> 6];
        table[2 * value + 1] = kAlphabet[value & 0x3F];
    }
    return table;
}

constexpr std::array<char, 8192> kPairs = MakePairTable();

template <typename Char>
uint32_t ShiftedSextet(Char c, int position) {
    const auto unit = static_cast<std::make_unsigned_t<Char>>(c);
    if constexpr (sizeof(Char) > 1) {
        if (unit > 0xFF) {
            return 1u << 24;
        }
    }
    return kShifted[position][unit];
}

// Decodes what follows a fast run: blanks, padding and the last group, one character at a time.
template <typename Char>
bool DecodeSlowly(std::basic_string_view<Char> text, uint8_t*& write) {
    uint32_t group = 0;
    int count = 0;  // sextets in the group
    int padding = 0;
    for (Char c : text) {
        const auto unit = static_cast<uint32_t>(c);
        const uint8_t value = unit < 256 ? kDecode[unit] : kInvalid;
        if (value < 64) {
            if (padding != 0) {
                return false;  // data after padding
            }
            group = (group << 6) | value;
            if (++count == 4) {
                *write++ = static_cast<uint8_t>(group >> 16);
                *write++ = static_cast<uint8_t>(group >> 8);
                *write++ = static_cast<uint8_t>(group);
                group = 0;
                count = 0;
            }
        } else if (value == kSkip) {
            continue;
        } else if (value == kPad) {
            // Padding completes a group of two or three sextets, and only that.
            if (count < 2 || count + ++padding > 4) {
                return false;
            }
        } else {
            return false;
        }
    }
    if (count == 1 || (padding != 0 && count + padding != 4)) {
        return false;
    }
    if (count >= 2) {
        group <<= 6 * (4 - count);
        *write++ = static_cast<uint8_t>(group >> 16);
        if (count == 3) {
            *write++ = static_cast<uint8_t>(group >> 8);
        }
    }
    return true;
}

template <typename Char>
bool Decode(std::basic_string_view<Char> text, std::vector<uint8_t>& out) {
    const size_t start = out.size();
    out.resize(start + text.size() / 4 * 3 + 3);
    uint8_t* write = out.data() + start;
    // Whole groups of four alphabet characters, the common case, without per-character branches.
    size_t i = 0;
    while (i + 4 <= text.size()) {
        const uint32_t group = ShiftedSextet(text[i], 0) | ShiftedSextet(text[i + 1], 1) |
                               ShiftedSextet(text[i + 2], 2) | ShiftedSextet(text[i + 3], 3);
        if (group >> 24 != 0) {
            break;  // a blank, padding or an invalid character: leave it to the slow path
        }
        write[0] = static_cast<uint8_t>(group >> 16);
        write[1] = static_cast<uint8_t>(group >> 8);
        write[2] = static_cast<uint8_t>(group);
        write += 3;
        i += 4;
    }
    const bool ok = DecodeSlowly(text.substr(i), write);
    out.resize(static_cast<size_t>(write - out.data()));
    return ok;
}

}  // namespace

void Base64Encode(const void* data, size_t length, std::string& out) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    const size_t start = out.size();
    out.resize(start + (length + 2) / 3 * 4);
    char* write = out.data() + start;
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const uint32_t group =
            (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        std::memcpy(write, &kPairs[2 * (group >> 12)], 2);
        std::memcpy(write + 2, &kPairs[2 * (group & 0xFFF)], 2);
        write += 4;
    }
    if (i < length) {
        const bool two = i + 1 < length;
        const uint32_t group = (uint32_t{bytes[i]} << 16) | (two ? uint32_t{bytes[i + 1]} << 8 : 0);
        *write++ = kAlphabet[group >> 18];
        *write++ = kAlphabet[(group >> 12) & 0x3F];
        *write++ = two ? kAlphabet[(group >> 6) & 0x3F] : '=';
        *write++ = '=';
    }
}

bool Base64Decode(std::string_view text, std::vector<uint8_t>& out) {
    return Decode(text, out);
}

bool Base64Decode(std::u16string_view text, std::vector<uint8_t>& out) {
    return Decode(text, out);
}

}  // namespace Common
