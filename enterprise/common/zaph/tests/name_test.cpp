#include "enterprise/common/zaph/name.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using Zaph::Name;

TEST(Name, HashCoversTheTerminatingNul) {
    static_assert(Name::ComputeHash("") == 0x9e3779b9);
    EXPECT_EQ(Name::ComputeHash("a"), 0x28cd94a4a5ULL);
    EXPECT_EQ(Name::WellKnown("Name").Hash(), 0xa3b7dbeb799e39ULL);
    // Names made from plain text do not carry a hash; equality ignores it.
    EXPECT_EQ(Name("Name").Hash(), 0u);
    EXPECT_EQ(Name("Name"), Name::WellKnown("Name"));
}

TEST(Name, OrdersAsUnsignedBytes) {
    EXPECT_LT(Name("Z"), Name("a"));
    EXPECT_LT(Name("ab"), Name("abc"));
    EXPECT_LT(Name(""), Name("a"));
    EXPECT_LT(Name("z"), Name("\xC3\xA9"));  // a byte above 0x7F is not negative
    EXPECT_EQ(Name("x").Compare("x"), 0);
    EXPECT_EQ(Name("b").Compare("a"), 1);
    EXPECT_NE(Name("a"), Name("A"));
}

TEST(Name, LiteralsAreSharedAndOwnedTextsCopied) {
    static const char kLiteral[] = "Searchable";
    const Name literal = Name::Literal(kLiteral);
    const Name literalCopy = literal;
    EXPECT_EQ(literalCopy.Text(), kLiteral);

    const Name owned(std::string("a fairly long property name beyond small strings"));
    const Name ownedCopy = owned;
    EXPECT_NE(ownedCopy.Text(), owned.Text());
    EXPECT_EQ(ownedCopy, owned);
}

TEST(Name, MovesKeepTheTextReadable) {
    Name shortName("k");  // held in the string's own small buffer
    Name moved(std::move(shortName));
    EXPECT_STREQ(moved.Text(), "k");
    EXPECT_STREQ(shortName.Text(), "");

    Name assigned;
    assigned = std::move(moved);
    EXPECT_STREQ(assigned.Text(), "k");
    const Name& alias = assigned;
    assigned = alias;  // self-assignment keeps the text
    EXPECT_STREQ(assigned.Text(), "k");
}

TEST(Name, TextEndsAtTheFirstNul) {
    const Name name(std::string_view("ab\0cd", 5));
    EXPECT_EQ(name.View(), "ab");
    EXPECT_TRUE(Name(static_cast<const char*>(nullptr)).IsEmpty());
}

}  // namespace
