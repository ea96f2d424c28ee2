#include "core/common/catalog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/common/message_format.h"

namespace {

using Common::FormatCatalogMessage;

constexpr size_t kTableEnd = 8 + 4 * size_t{Common::kCatalogMessageCount};

std::vector<uint8_t> BuiltinCopy() {
    const std::span<const uint8_t> block = Common::BuiltinCatalogBlock();
    return std::vector<uint8_t>(block.begin(), block.end());
}

uint32_t Word(const std::vector<uint8_t>& block, size_t offset) {
    uint32_t word;
    std::memcpy(&word, block.data() + offset, 4);
    return word;
}

void SetWord(std::vector<uint8_t>& block, size_t offset, uint32_t word) {
    std::memcpy(block.data() + offset, &word, 4);
}

// Where the offset of message `index` is kept.
size_t OffsetPosition(uint32_t index) {
    return 8 + 4 * size_t{index};
}

bool Valid(const std::vector<uint8_t>& block) {
    return Common::IsValidCatalogBlock(block.data(), block.size());
}

TEST(Catalog, BuiltinBlockNamesItsMessagesAndKnowsItsTexts) {
    const std::vector<uint8_t> block = BuiltinCopy();
    EXPECT_TRUE(Valid(block));
    EXPECT_EQ(Word(block, 0), block.size());
    EXPECT_EQ(Word(block, 4), 683u);

    EXPECT_EQ(std::u16string(Common::GetCatalogMessage(Common::kMsgSuccess)), u"Success");
    EXPECT_EQ(std::u16string(Common::GetCatalogMessage(Common::kMsgAsyncCanceled)),
              u"ASYNC: The operation has been canceled.");
    EXPECT_EQ(std::u16string(Common::GetCatalogMessage(Common::kMsgZaphTraitNotUnique)),
              u"ZAPH: Trait '{0}' is not unique.");
    // Indices nobody names hold empty texts; indices past the catalogue give an empty text too.
    for (uint32_t index : {682u, 683u, UINT32_MAX}) {
        EXPECT_EQ(std::u16string(Common::GetCatalogMessage(index)), u"") << index;
    }

    const char16_t* success = Common::GetCatalogMessage(Common::kMsgSuccess);
    EXPECT_TRUE(Common::IsCatalogText(success));
    EXPECT_TRUE(Common::IsCatalogText(success + 3));
    EXPECT_FALSE(Common::IsCatalogText(std::u16string(success).data()));
    EXPECT_FALSE(Common::IsCatalogText(u"Success"));
    EXPECT_FALSE(Common::IsCatalogText(nullptr));
    EXPECT_FALSE(Common::IsCatalogText(Common::BuiltinCatalogBlock().data() + block.size()));
}

TEST(Catalog, RejectsBadHeadersAndTruncatedBlocks) {
    const std::vector<uint8_t> good = BuiltinCopy();
    EXPECT_FALSE(Common::IsValidCatalogBlock(nullptr, good.size()));
    for (size_t size : {size_t{0}, size_t{8}, kTableEnd, good.size() - 2}) {
        EXPECT_FALSE(Common::IsValidCatalogBlock(good.data(), size)) << size;
    }
    std::vector<uint8_t> block = good;
    SetWord(block, 4, 682);
    EXPECT_FALSE(Valid(block)) << "count one short";
    SetWord(block, 4, 684);
    EXPECT_FALSE(Valid(block)) << "count one over";

    block = good;
    SetWord(block, 0, static_cast<uint32_t>(block.size() - 2));
    EXPECT_FALSE(Valid(block)) << "size word disagrees with the size";

    block = good;
    block.push_back(0);
    SetWord(block, 0, static_cast<uint32_t>(block.size()));
    EXPECT_FALSE(Valid(block)) << "odd size";
    block.push_back(0);
    SetWord(block, 0, static_cast<uint32_t>(block.size()));
    EXPECT_TRUE(Valid(block)) << "trailing padding is harmless";

    // A changed text of the same length is fine; the last message without its terminator is not.
    block = good;
    const size_t position = OffsetPosition(Common::kMsgSuccess);
    std::memcpy(block.data() + position + Word(block, position), u"Erfolg!", 14);
    EXPECT_TRUE(Valid(block));
    ASSERT_EQ(block[block.size() - 2], 0);
    block[block.size() - 2] = 'x';
    EXPECT_FALSE(Valid(block));
}

TEST(Catalog, RejectsOffsetsOutsideTheTextArea) {
    const std::vector<uint8_t> good = BuiltinCopy();
    const int64_t size = static_cast<int64_t>(good.size());
    const int64_t table = static_cast<int64_t>(kTableEnd);
    const struct {
        const char* what;
        uint32_t index;
        int64_t start;  // the byte position that the offset is made to point at
    } cases[] = {{"into the header", 0, 0},         {"into the offset table", 5, table - 2},
                 {"exactly at the end", 682, size}, {"past the end", 300, size + 40},
                 {"odd position", 17, table + 1},   {"past 32 bits", 1, (int64_t{1} << 32) + 8}};
    for (const auto& c : cases) {
        std::vector<uint8_t> block = good;
        const size_t position = OffsetPosition(c.index);
        SetWord(block, position, static_cast<uint32_t>(c.start - static_cast<int64_t>(position)));
        EXPECT_FALSE(Valid(block)) << c.what;
    }
}

TEST(Catalog, InstallRefusesInvalidBlocksAndKeepsTheCurrentTexts) {
    std::vector<uint8_t> block = BuiltinCopy();
    SetWord(block, 4, 1);
    const char16_t* before = Common::GetCatalogMessage(Common::kMsgSuccess);
    EXPECT_FALSE(Common::InstallCatalogFile(block.data(), block.size()));
    EXPECT_FALSE(Common::InstallCatalogFile(nullptr, 0));
    EXPECT_EQ(Common::GetCatalogMessage(Common::kMsgSuccess), before);
}

TEST(FormatCatalogMessage, FillsPlaceholdersAndLeavesTheRestAlone) {
    const std::u16string_view ten[] = {u"0", u"1", u"2", u"3", u"4",  u"5",
                                       u"6", u"7", u"8", u"9", u"ten"};
    EXPECT_EQ(FormatCatalogMessage(u"Cannot convert '{0}' to qword.", {u"12x"}),
              u"Cannot convert '12x' to qword.");
    EXPECT_EQ(FormatCatalogMessage(u"{1} before {0}, {1} again", {u"a", u"b"}),
              u"b before a, b again");
    EXPECT_EQ(FormatCatalogMessage(u"{0}{0}{0}", {u"ab"}), u"ababab");
    EXPECT_EQ(FormatCatalogMessage(u"{10}", ten), u"ten");
    EXPECT_EQ(FormatCatalogMessage(u"{007}", ten), u"7");
    EXPECT_EQ(FormatCatalogMessage(u"", {u"a"}), u"");
    EXPECT_EQ(FormatCatalogMessage(u"no placeholder", {}), u"no placeholder");
    // Inserted text is not searched again.
    EXPECT_EQ(FormatCatalogMessage(u"[{0}] [{1}]", {u"{1}", u"b"}), u"[{1}] [b]");
    // Text that is no placeholder stays; a choice form is not interpreted.
    EXPECT_EQ(FormatCatalogMessage(u"{} {x} {0 } {-1} { {0", {u"a"}), u"{} {x} {0 } {-1} { {0");
    EXPECT_EQ(FormatCatalogMessage(u"{0,choice,0#none|1#one} {0}", {u"n"}),
              u"{0,choice,0#none|1#one} n");
    EXPECT_EQ(FormatCatalogMessage(u"{{0}}", {u"a"}), u"{a}");
    EXPECT_EQ(FormatCatalogMessage(u"{12{0}", {u"a"}), u"{12a");
}

TEST(FormatCatalogMessage, AMissingArgumentStopsTheFilling) {
    EXPECT_EQ(FormatCatalogMessage(u"'{0}' is not '{1}' ({0})", {u"a"}), u"'a' is not '{1}' ({0})");
    EXPECT_EQ(FormatCatalogMessage(u"{0} and {1}", {}), u"{0} and {1}");
    // Huge indices saturate rather than wrap around to an argument (2^64 would wrap to 0).
    for (std::u16string text : {u"x {" + std::u16string(70, u'9') + u"} {0}",
                                std::u16string(u"{18446744073709551616} {0}")}) {
        EXPECT_EQ(FormatCatalogMessage(text, {u"a"}), text);
    }
}

}  // namespace
