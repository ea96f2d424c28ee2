#include "core/common/stack_walk.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace StackWalkTest {

__attribute__((noinline)) std::vector<std::string> Walk(uint32_t options, uint32_t maxFrames,
                                                        uint32_t skip) {
    std::vector<std::string> lines;
    Common::WalkStack(
        [&](uint32_t index, std::string_view line) {
            EXPECT_EQ(index, lines.size());
            lines.emplace_back(line);
            return true;
        },
        options, maxFrames, skip);
    return lines;
}

// Exported and not inlined, so that the walk can name them.
__attribute__((noinline)) std::vector<std::string> WalkFromInner(uint32_t options,
                                                                 uint32_t maxFrames,
                                                                 uint32_t skip) {
    std::vector<std::string> lines = Walk(options, maxFrames, skip);
    asm volatile("" ::: "memory");
    return lines;
}

__attribute__((noinline)) std::vector<std::string> WalkFromOuter(uint32_t options,
                                                                 uint32_t maxFrames,
                                                                 uint32_t skip) {
    std::vector<std::string> lines = WalkFromInner(options, maxFrames, skip);
    asm volatile("" ::: "memory");
    return lines;
}

}  // namespace StackWalkTest

namespace {

using StackWalkTest::WalkFromOuter;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing::StartsWith;

TEST(StackWalk, NamesTheCallersInOrder) {
    // Frame 0 is Walk, the caller of WalkStack.
    const std::vector<std::string> lines = WalkFromOuter(0, 3, 0);
    ASSERT_EQ(lines.size(), 3u);
    // Names are demangled, with their ABI tags and parameter lists, and a displacement.
    EXPECT_THAT(lines[0], MatchesRegex("StackWalkTest::Walk[[(].*\\)\\+0x[0-9A-F]+"));
    EXPECT_THAT(lines[1], StartsWith("StackWalkTest::WalkFromInner"));
    EXPECT_THAT(lines[1], HasSubstr("(unsigned int, unsigned int, unsigned int)+0x"));
    EXPECT_THAT(lines[2], StartsWith("StackWalkTest::WalkFromOuter"));
}

TEST(StackWalk, SkipAndLimit) {
    const std::vector<std::string> lines = WalkFromOuter(0, 1, 2);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], StartsWith("StackWalkTest::WalkFromOuter"));
    EXPECT_TRUE(WalkFromOuter(0, 0, 0).empty());
    EXPECT_TRUE(WalkFromOuter(0, 5, 100000).empty());
    EXPECT_LE(WalkFromOuter(0, 100000, 0).size(), 1024u);
}

TEST(StackWalk, AddressPartIsPaddedHexadecimal) {
    const std::vector<std::string> lines = WalkFromOuter(Common::kStackAllParts, 3, 1);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_THAT(lines[0],
                MatchesRegex("0x[0-9A-F]{16} StackWalkTest::WalkFromInner.*\\)\\+0x[0-9A-F]+"));
    // Frames outside any exported symbol still name their module and offset.
    const std::vector<std::string> all = WalkFromOuter(Common::kStackAddress, 64, 0);
    for (const std::string& line : all) {
        EXPECT_THAT(line, MatchesRegex("0x[0-9A-F]{16} .+")) << line;
    }
}

TEST(StackWalk, TheCallbackEndsTheWalk) {
    int calls = 0;
    Common::WalkStack(
        [&](uint32_t, std::string_view) {
            ++calls;
            return false;
        },
        0, 10);
    EXPECT_EQ(calls, 1);
}

}  // namespace
