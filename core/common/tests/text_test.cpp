#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "core/common/base64.h"
#include "core/common/buffer.h"
#include "core/common/exit_status.h"
#include "core/common/guid.h"
#include "core/common/sid.h"
#include "core/common/text.h"

namespace {

using namespace std::string_view_literals;
using Common::Guid;
using Common::Utf16ToUtf8;
using Common::Utf8ToUtf16;

TEST(Utf8AndUtf16, ValidTextRoundTripsAndEachInvalidSequenceIsReplacedOnce) {
    const std::pair<std::string_view, std::u16string_view> valid[] = {
        {"A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", u"A\u00E9\u20AC\U0001F600"},
        {"\xF4\x8F\xBF\xBF\xEF\xBF\xBF\xED\x9F\xBF", u"\U0010FFFF\uFFFF\uD7FF"},
        {"\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEE\x80\x80\xF0\x90\x80\x80",
         u"\x7F\u0080\u07FF\u0800\uE000\U00010000"}};
    const std::pair<std::string_view, std::u16string_view> invalid[] = {
        {"a\x80z", u"a\uFFFDz"},
        {"\xFF", u"\uFFFD"},
        {"\xC0\x80"sv, u"\uFFFD"},                          // overlong NUL
        {"\xE0\x80\xAF", u"\uFFFD"},                        // overlong slash
        {"\xF0\x80\x80\x80", u"\uFFFD"},                    // overlong in four bytes
        {"\xED\xA0\x80", u"\uFFFD"},                        // encoded high surrogate
        {"\xED\xBF\xBF", u"\uFFFD"},                        // encoded low surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD"},                    // above U+10FFFF
        {"\xF5\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // F5 is no lead
        {"ab\xE2\x82", u"ab\uFFFD"},                        // cut at the end
        {"\xE2zzzzzzzz", u"\uFFFDzzzzzzzz"}};               // cut before a run of ASCII
    for (const auto& [bytes, expected] : valid) {
        std::u16string text;
        std::string back;
        EXPECT_TRUE(Utf8ToUtf16(bytes, text));
        EXPECT_EQ(text, expected);
        EXPECT_TRUE(Utf16ToUtf8(text, back));
        EXPECT_EQ(back, bytes);
    }
    for (const auto& [bytes, expected] : invalid) {
        std::u16string text;
        EXPECT_FALSE(Utf8ToUtf16(bytes, text)) << bytes;
        EXPECT_EQ(text, expected) << bytes;
    }
    std::string out;  // unpaired surrogates are replaced
    const std::pair<std::u16string, std::string> unpaired[] = {
        {{u'x', char16_t(0xD800), u'y'}, "x\xEF\xBF\xBDy"},
        {{char16_t(0xDC00)}, "\xEF\xBF\xBD"},
        {{u'x', char16_t(0xDBFF)}, "x\xEF\xBF\xBD"},
        {{char16_t(0xDC00), char16_t(0xD800)}, "\xEF\xBF\xBD\xEF\xBF\xBD"}};
    for (const auto& [bad, replaced] : unpaired) {
        out.clear();
        EXPECT_FALSE(Utf16ToUtf8(bad, out));
        EXPECT_EQ(out, replaced);
    }
    EXPECT_EQ(Common::WidenBytes("a\xE9"), u"a\u00E9");
    EXPECT_EQ(Common::NarrowLowBytes(u"a\u01E9"), "a\xE9");
}

std::string Encode(std::string_view bytes) {
    std::string out;
    Common::Base64Encode(bytes.data(), bytes.size(), out);
    return out;
}

// The decoded bytes, or "refused".
template <typename Text>
std::string Decode(Text text) {
    std::vector<uint8_t> out;
    return Common::Base64Decode(text, out) ? std::string(out.begin(), out.end()) : "refused";
}

TEST(Base64, VectorsBlanksPaddingAndInvalidInput) {
    // The vectors of RFC 4648 encode the prefixes of "foobar".
    const std::string_view foobar = "foobar";
    const std::string_view encoded[] = {"",         "Zg==",     "Zm8=",    "Zm9v",
                                        "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (size_t length = 0; length <= foobar.size(); ++length) {
        EXPECT_EQ(Encode(foobar.substr(0, length)), encoded[length]);
        EXPECT_EQ(Decode(encoded[length]), foobar.substr(0, length));
    }
    EXPECT_EQ(Encode("\xFF\xFE\x00"sv), "//4A");  // the last two letters
    EXPECT_EQ(Decode("//4A"sv), "\xFF\xFE\x00"sv);
    // Blanks are skipped and padding may be missing.
    const std::pair<std::string_view, std::string_view> lenient[] = {
        {" Zm9v\r\nYmFy\t", "foobar"}, {"Zg", "f"}, {"Zm8", "fo"}, {"Zg= =", "f"}};
    for (const auto& [text, plain] : lenient)
        EXPECT_EQ(Decode(text), plain) << text;
    for (std::string_view bad : {"Z", "Zm9vY", "Zm9v!", "Zg==Zg==", "Z===", "=Zg=", "Zg===",
                                 "Zm9=v", "Zm-v", "Zm9v\x80", "====", "Zm9v===="}) {
        EXPECT_EQ(Decode(bad), "refused") << bad;
    }
    EXPECT_EQ(Decode(u"Zm9v"sv), "foo");
    EXPECT_EQ(Decode(u"Zm9\u0176"sv), "refused");  // would read as 'v' by its low byte
}

TEST(Base64, AgreesWithOpenSsl) {
    std::mt19937 random(7);
    for (size_t length = 0; length < 300; ++length) {
        std::string bytes(length, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        std::string ours = Encode(bytes);
        std::vector<unsigned char> theirs(4 * ((length + 2) / 3) + 1);
        const int written =
            EVP_EncodeBlock(theirs.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(length));
        ASSERT_EQ(ours, std::string(reinterpret_cast<char*>(theirs.data()), written));
        ASSERT_EQ(Decode(ours), bytes);
    }
}

const Guid kSample{0x01234567, 0x89AB, 0xCDEF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};

TEST(GuidText, PrintsUpperCaseReadsBackInEitherCaseAndWidthAndRejectsAllElse) {
    EXPECT_EQ(Common::GuidToString(kSample), "01234567-89AB-CDEF-FEDC-BA9876543210");
    EXPECT_EQ(Common::GuidToWideString(kSample), u"01234567-89AB-CDEF-FEDC-BA9876543210");
    EXPECT_EQ(Common::GuidToString(Guid{}), "00000000-0000-0000-0000-000000000000");
    const Guid all{0xFFFFFFFF, 0xFFFF, 0x8000, {0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5}};
    for (const Guid& guid : {Guid{}, kSample, all}) {
        Guid narrow = kSample, wide = all;
        ASSERT_TRUE(Common::GuidFromString(Common::GuidToString(guid).c_str(), narrow));
        ASSERT_TRUE(Common::GuidFromString(Common::GuidToWideString(guid).c_str(), wide));
        EXPECT_EQ(narrow, guid);
        EXPECT_EQ(wide, guid);
    }
    Guid mixed;
    ASSERT_TRUE(Common::GuidFromString("01234567-89ab-cdef-FeDc-ba9876543210", mixed));
    EXPECT_EQ(mixed, kSample);
    for (const char* text :
         {"", "{01234567-89AB-CDEF-FEDC-BA9876543210}", "{01234567-89AB-CDEF-FEDC-BA9876543210",
          " 01234567-89AB-CDEF-FEDC-BA9876543210", "01234567-89AB-CDEF-FEDC-BA9876543210 ",
          "01234567-89AB-CDEF-FEDC-BA98765432100", "01234567-89AB-CDEF-FEDC-BA98765432",
          "01234567-89AB-CDEF-FEDC", "0123456-89AB-CDEF-FEDC-BA9876543210",
          "01234567-89AB-CDEF-FEDCBA9876543210", "01234567 89AB CDEF FEDC BA9876543210",
          "0x234567-89AB-CDEF-FEDC-BA9876543210", "+1234567-89AB-CDEF-FEDC-BA9876543210",
          "01234567-+9AB-CDEF-FEDC-BA9876543210", "01234567-89AB-CDEF-FEDC-BA987654321G",
          "01234567-89AB-CDEF-FE-DC-A9876543210", "0123456789ABCDEFFEDCBA9876543210"}) {
        Guid guid = kSample;
        EXPECT_FALSE(Common::GuidFromString(text, guid)) << '"' << text << '"';
        EXPECT_EQ(guid, kSample) << text;
    }
    // U+0141 would read as 'A' if only its low byte were looked at.
    Guid guid = kSample;
    EXPECT_FALSE(Common::GuidFromString(u"01234567-89AB-CDEF-FEDC-BA987654321\u0141", guid));
    EXPECT_EQ(guid, kSample);
}

std::vector<uint8_t> Sid(uint8_t revision, std::vector<uint8_t> authority,
                         std::vector<uint32_t> subAuthorities) {
    std::vector<uint8_t> bytes = authority;
    bytes.insert(bytes.begin(), {revision, static_cast<uint8_t>(subAuthorities.size())});
    for (uint32_t value : subAuthorities) {
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
    return bytes;
}

// The text of a security identifier; "EINVAL" when it is refused as invalid.
std::u16string SidText(const std::vector<uint8_t>& bytes) {
    std::u16string text = u"untouched";
    errno = 0;
    if (!Common::SidToText(bytes, text)) {
        EXPECT_EQ(text, u"untouched");
        return errno == EINVAL ? u"EINVAL" : u"other error";
    }
    return text;
}

TEST(SidText, AuthorityInDecimalUnlessItsTopBytesAreSetAndInvalidIdentifiers) {
    const std::vector<uint8_t> nt{0, 0, 0, 0, 0, 5};
    const std::vector<uint32_t> most(Common::kMaxSidSubAuthorities, 0xFFFFFFFF);
    std::u16string longest = u"S-1-0xffffffffffff";
    for (size_t i = 0; i < most.size(); ++i)
        longest += u"-4294967295";
    std::vector<uint8_t> padded = Sid(1, nt, {18});
    padded.resize(68, 0xEE);
    std::vector<uint8_t> truncated = Sid(1, nt, {21, 1, 2});
    truncated.pop_back();
    const std::pair<std::vector<uint8_t>, std::u16string> cases[] = {
        {Sid(1, nt, {18}), u"S-1-5-18"},
        {Sid(1, {0, 0, 0, 0, 0, 1}, {0}), u"S-1-1-0"},
        {Sid(1, nt, {21, 3623811015u, 3361044348u, 30300820u, 500}),
         u"S-1-5-21-3623811015-3361044348-30300820-500"},
        {Sid(1, nt, {}), u"S-1-5"},
        {Sid(1, {0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {1}), u"S-1-4294967295-1"},
        {Sid(1, {0, 0, 1, 0, 0, 0}, {}), u"S-1-16777216"},
        {Sid(1, {1, 2, 3, 4, 0xAB, 0xCD}, {7}), u"S-1-0x01020304abcd-7"},
        {Sid(1, {0, 0x10, 0, 0, 0, 0}, {}), u"S-1-0x001000000000"},
        {Sid(1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, most), longest},
        {padded, u"S-1-5-18"},
        {{}, u"EINVAL"},
        {{1, 0, 0, 0, 0, 0, 0}, u"EINVAL"},
        {Sid(0, nt, {18}), u"EINVAL"},
        {Sid(2, nt, {18}), u"EINVAL"},
        {Sid(1, nt, std::vector<uint32_t>(Common::kMaxSidSubAuthorities + 1, 1)), u"EINVAL"},
        {truncated, u"EINVAL"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(SidText(bytes), text) << bytes.size() << " bytes";
}

std::string Contents(const Common::DynamicBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Size());
}

TEST(DynamicBuffer, GrowsZeroFillsAndRefusesOverflowingAppends) {
    Common::DynamicBuffer buffer;
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        const char byte = static_cast<char>(i);
        ASSERT_TRUE(buffer.Append(&byte, 1));
        expected.push_back(byte);
    }
    ASSERT_TRUE(buffer.Append(nullptr, 3));
    expected.append(3, '\0');
    buffer.WriteAt(1, "xy", 2);
    expected.replace(1, 2, "xy");
    EXPECT_EQ(Contents(buffer), expected);
    // A length that cannot be added frees the storage and fails, rather than wrapping around.
    EXPECT_FALSE(buffer.Append("x", SIZE_MAX));
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(buffer.Data(), nullptr);
    EXPECT_TRUE(buffer.Append("z", 1));
}

TEST(ExitStatus, OnlyCodesThatFitInEightBitsAreTheStatus) {
    // 256 would read as success after truncation.
    const std::pair<uint32_t, int> cases[] = {{0, 0},     {7, 7},          {255, 255},
                                              {256, 255}, {0x9C0100, 255}, {0xFFFFFFFF, 255}};
    for (const auto& [code, status] : cases)
        EXPECT_EQ(Common::ExitStatusOf(code), status) << code;
}

}  // namespace
