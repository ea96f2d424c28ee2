#include "enterprise/common/zaph/name.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using Zaph::Name;

TEST(Name, OrdersAsUnsignedBytesAndEqualityIgnoresTheHash) {
    EXPECT_LT(Name("Z"), Name("a"));
    EXPECT_LT(Name("ab"), Name("abc"));
    EXPECT_LT(Name(""), Name("a"));
    EXPECT_LT(Name("z"), Name("\xC3\xA9"));  // a byte above 0x7F is not negative
    EXPECT_EQ(Name("b").Compare("a"), 1);
    EXPECT_NE(Name("a"), Name("A"));
    EXPECT_EQ(Name("Name"), Name::WellKnown("Name"));
    EXPECT_EQ(Name(std::string_view("ab\0cd", 5)).View(), "ab");
    EXPECT_TRUE(Name(static_cast<const char*>(nullptr)).IsEmpty());
}

TEST(Name, CopiesAndMovesKeepTheTextReadable) {
    static const char kLiteral[] = "Searchable";
    const Name literal = Name::Literal(kLiteral);
    EXPECT_EQ(Name(literal).Text(), kLiteral);  // literals are shared
    const Name owned(std::string("a fairly long property name beyond small strings"));
    const Name ownedCopy = owned;
    EXPECT_NE(ownedCopy.Text(), owned.Text());
    EXPECT_EQ(ownedCopy, owned);

    Name shortName("k");  // held in the string's own small buffer
    Name moved(std::move(shortName));
    EXPECT_STREQ(moved.Text(), "k");
    EXPECT_STREQ(shortName.Text(), "");
    Name assigned;
    assigned = std::move(moved);
    const Name& alias = assigned;
    assigned = alias;  // self-assignment keeps the text
    EXPECT_STREQ(assigned.Text(), "k");
}

}  // namespace
