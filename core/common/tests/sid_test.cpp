#include "core/common/sid.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

namespace {

std::vector<uint8_t> Sid(uint8_t revision, std::vector<uint8_t> authority,
                         std::vector<uint32_t> subAuthorities) {
    std::vector<uint8_t> bytes;
    bytes.reserve(8 + 4 * subAuthorities.size());
    bytes.push_back(revision);
    bytes.push_back(static_cast<uint8_t>(subAuthorities.size()));
    for (uint8_t byte : authority) {
        bytes.push_back(byte);
    }
    for (uint32_t value : subAuthorities) {
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<uint8_t>(value >> shift));
        }
    }
    return bytes;
}

std::u16string TextOf(const std::vector<uint8_t>& bytes) {
    std::u16string text = u"untouched";
    EXPECT_TRUE(Common::SidToText(bytes, text));
    return text;
}

const std::vector<uint8_t> kNtAuthority{0, 0, 0, 0, 0, 5};

TEST(SidText, WellKnownIdentifiers) {
    EXPECT_EQ(TextOf(Sid(1, kNtAuthority, {18})), u"S-1-5-18");
    EXPECT_EQ(TextOf(Sid(1, {0, 0, 0, 0, 0, 1}, {0})), u"S-1-1-0");
    EXPECT_EQ(TextOf(Sid(1, kNtAuthority, {32, 544})), u"S-1-5-32-544");
    EXPECT_EQ(TextOf(Sid(1, kNtAuthority, {21, 3623811015u, 3361044348u, 30300820u, 500})),
              u"S-1-5-21-3623811015-3361044348-30300820-500");
    EXPECT_EQ(TextOf(Sid(1, kNtAuthority, {})), u"S-1-5");
}

TEST(SidText, AuthorityIsBigEndianDecimalUnlessItsTopBytesAreSet) {
    EXPECT_EQ(TextOf(Sid(1, {0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, {1})), u"S-1-4294967295-1");
    EXPECT_EQ(TextOf(Sid(1, {0, 0, 1, 0, 0, 0}, {})), u"S-1-16777216");
    EXPECT_EQ(TextOf(Sid(1, {1, 2, 3, 4, 0xAB, 0xCD}, {7})), u"S-1-0x01020304abcd-7");
    EXPECT_EQ(TextOf(Sid(1, {0, 0x10, 0, 0, 0, 0}, {})), u"S-1-0x001000000000");
}

TEST(SidText, LongestIdentifierAndTrailingBytes) {
    const std::vector<uint32_t> most(Common::kMaxSidSubAuthorities, 0xFFFFFFFF);
    std::u16string expected = u"S-1-0xffffffffffff";
    for (size_t i = 0; i < most.size(); ++i) {
        expected += u"-4294967295";
    }
    std::vector<uint8_t> bytes = Sid(1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, most);
    EXPECT_EQ(TextOf(bytes), expected);

    std::vector<uint8_t> padded = Sid(1, kNtAuthority, {18});
    padded.resize(68, 0xEE);
    EXPECT_EQ(TextOf(padded), u"S-1-5-18");
}

TEST(SidText, InvalidIdentifiersFailWithInvalidParameter) {
    std::vector<uint8_t> truncated = Sid(1, kNtAuthority, {21, 1, 2});
    truncated.pop_back();
    const std::vector<uint8_t> tooMany =
        Sid(1, kNtAuthority, std::vector<uint32_t>(Common::kMaxSidSubAuthorities + 1, 1));
    const std::vector<std::vector<uint8_t>> invalid = {
        {},
        {1, 0, 0, 0, 0, 0, 0},
        Sid(0, kNtAuthority, {18}),
        Sid(2, kNtAuthority, {18}),
        tooMany,
        truncated,
    };
    for (const std::vector<uint8_t>& bytes : invalid) {
        std::u16string text = u"untouched";
        errno = 0;
        EXPECT_FALSE(Common::SidToText(bytes, text)) << bytes.size() << " bytes";
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(text, u"untouched");
    }
}

}  // namespace
