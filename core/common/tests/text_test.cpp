#include <gtest/gtest.h>

#include "core/common/buffer.h"
#include "core/common/exit_status.h"
#include "core/common/text.h"

namespace {

using Common::Utf16ToUtf8;
using Common::Utf8ToUtf16;

struct Decoded {
    std::u16string text;
    bool clean;
};

Decoded Decode(std::string_view bytes) {
    Decoded result;
    result.clean = Utf8ToUtf16(bytes, result.text);
    return result;
}

TEST(Utf8ToUtf16, DecodesEveryLengthAndSurrogatePairs) {
    const Decoded d = Decode("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_TRUE(d.clean);
    EXPECT_EQ(d.text, u"A\u00E9\u20AC\U0001F600");
    EXPECT_EQ(d.text.size(), 5u);  // the emoji is a surrogate pair
}

TEST(Utf8ToUtf16, ReplacesEachInvalidSequenceOnceAndReportsIt) {
    struct Case {
        const char* name;
        std::string bytes;
        std::u16string expected;
    };
    const Case cases[] = {
        {"lone continuation",
         "a\x80"
         "b",
         u"a\uFFFDb"},
        {"invalid lead", "\xFF", u"\uFFFD"},
        {"overlong NUL", std::string("\xC0\x80", 2), u"\uFFFD"},
        {"overlong slash", "\xE0\x80\xAF", u"\uFFFD"},
        {"overlong four bytes", "\xF0\x80\x80\x80", u"\uFFFD"},
        {"encoded high surrogate", "\xED\xA0\x80", u"\uFFFD"},
        {"encoded low surrogate", "\xED\xBF\xBF", u"\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD"},
        {"F5 lead", "\xF5\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"truncated at end", "ab\xE2\x82", u"ab\uFFFD"},
        {"truncated before ASCII", "\xE2\x82z", u"\uFFFDz"},
    };
    for (const Case& c : cases) {
        const Decoded d = Decode(c.bytes);
        EXPECT_FALSE(d.clean) << c.name;
        EXPECT_EQ(d.text, c.expected) << c.name;
        EXPECT_EQ(d.text.find(u'\0'), std::u16string::npos) << c.name;
    }
}

TEST(Utf8ToUtf16, LargestValuesAreAccepted) {
    const Decoded d = Decode("\xF4\x8F\xBF\xBF\xEF\xBF\xBF\xED\x9F\xBF");
    EXPECT_TRUE(d.clean);
    EXPECT_EQ(d.text, u"\U0010FFFF\uFFFF\uD7FF");
}

TEST(Utf16ToUtf8, EncodesPairsAndReplacesUnpairedSurrogates) {
    std::string out;
    EXPECT_TRUE(Utf16ToUtf8(u"A\u00E9\u20AC\U0001F600", out));
    EXPECT_EQ(out, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");

    const std::u16string loneHigh = {u'x', char16_t(0xD800), u'y'};
    const std::u16string loneLow = {char16_t(0xDC00)};
    const std::u16string highAtEnd = {u'x', char16_t(0xDBFF)};
    const std::u16string reversed = {char16_t(0xDC00), char16_t(0xD800)};
    for (const auto& bad : {loneHigh, loneLow, highAtEnd, reversed}) {
        out.clear();
        EXPECT_FALSE(Utf16ToUtf8(bad, out));
        EXPECT_NE(out.find("\xEF\xBF\xBD"), std::string::npos);
        std::u16string back;
        EXPECT_TRUE(Utf8ToUtf16(out, back));  // the replacement itself is valid text
    }
}

TEST(Utf8Utf16, RoundTripOfEveryPlane) {
    std::u16string all;
    for (char32_t cp = 1; cp <= 0x10FFFF; cp += 0x101) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;
        if (cp < 0x10000) {
            all.push_back(static_cast<char16_t>(cp));
        } else {
            all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
    }
    std::string narrow;
    ASSERT_TRUE(Utf16ToUtf8(all, narrow));
    std::u16string wide;
    ASSERT_TRUE(Utf8ToUtf16(narrow, wide));
    EXPECT_EQ(wide, all);
}

TEST(ByteWidening, KeepsBytesAndLowBytes) {
    EXPECT_EQ(Common::WidenBytes("a\xE9"), u"a\u00E9");
    EXPECT_EQ(Common::NarrowLowBytes(u"a\u0141"), "a\x41");
}

TEST(DynamicBuffer, GrowsKeepsBytesAndZeroFillsNullAppends) {
    Common::DynamicBuffer buffer;
    EXPECT_EQ(buffer.Size(), 0u);
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        const char byte = static_cast<char>(i);
        ASSERT_TRUE(buffer.Append(&byte, 1));
        expected.push_back(byte);
    }
    ASSERT_TRUE(buffer.Append(nullptr, 3));
    expected.append(3, '\0');
    ASSERT_EQ(buffer.Size(), expected.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Size()), expected);

    buffer.WriteAt(1, "xy", 2);
    EXPECT_EQ(buffer.Data()[1], 'x');
    EXPECT_EQ(buffer.Data()[2], 'y');
}

TEST(DynamicBuffer, RefusesWritesPastTheEndAndOverflowingAppends) {
    Common::DynamicBuffer buffer;
    ASSERT_TRUE(buffer.Append("abcd", 4));
    buffer.WriteAt(3, "xy", 2);  // one byte past the end: asserts, writes nothing
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.Data()), 4), "abcd");
    buffer.WriteAt(SIZE_MAX, "x", 1);
    EXPECT_EQ(buffer.Size(), 4u);

    // A length that cannot be added frees the storage and fails, rather than wrapping around.
    EXPECT_FALSE(buffer.Append("x", SIZE_MAX));
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(buffer.Data(), nullptr);
    EXPECT_TRUE(buffer.Append("z", 1));  // usable again afterwards
}

TEST(ExitStatus, OnlyCodesThatFitInEightBitsAreTheStatus) {
    EXPECT_EQ(Common::ExitStatusOf(0), 0);
    EXPECT_EQ(Common::ExitStatusOf(1), 1);
    EXPECT_EQ(Common::ExitStatusOf(7), 7);
    EXPECT_EQ(Common::ExitStatusOf(255), 255);
    EXPECT_EQ(Common::ExitStatusOf(256), 255);  // would read as success after truncation
    EXPECT_EQ(Common::ExitStatusOf(0x9C0100), 255);
    EXPECT_EQ(Common::ExitStatusOf(0xFFFFFFFF), 255);
}

}  // namespace
