#include "enterprise/common/zaph/wildcard.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using Zaph::Util::MatchWildcard;

// The textbook dynamic programme over all prefixes: slow, obviously right, the reference.
bool ReferenceMatch(std::u16string_view text, std::u16string_view wildcard) {
    if (wildcard.empty()) {
        return true;
    }
    // fits[t]: the first t units of the text fit the wildcard's prefix handled so far.
    std::vector<bool> fits(text.size() + 1, false);
    fits[0] = true;
    for (const char16_t unit : wildcard) {
        std::vector<bool> next(text.size() + 1, false);
        for (size_t t = 0; t <= text.size(); ++t) {
            if (unit == u'%') {
                next[t] = fits[t] || (t > 0 && next[t - 1]);
            } else if (t > 0) {
                next[t] = fits[t - 1] && (unit == u'_' || unit == text[t - 1]);
            }
        }
        fits.swap(next);
    }
    return fits[text.size()];
}

// The work bound of the matcher.
uint64_t Bound(std::u16string_view text, std::u16string_view wildcard) {
    return (text.size() + 1) * (wildcard.size() + 1);
}

TEST(MatchWildcard, AgreesWithTheReferenceOnRandomTexts) {
    std::mt19937 random(20240611);
    const char16_t textUnits[] = {u'a', u'b'};
    const char16_t wildcardUnits[] = {u'a', u'b', u'%', u'_'};
    for (int round = 0; round < 20000; ++round) {
        std::u16string text(random() % 9, u'a');
        for (char16_t& unit : text) {
            unit = textUnits[random() % 2];
        }
        std::u16string wildcard(random() % 7, u'a');
        for (char16_t& unit : wildcard) {
            unit = wildcardUnits[random() % 4];
        }
        uint64_t steps = 0;
        ASSERT_EQ(MatchWildcard(text, wildcard, &steps), ReferenceMatch(text, wildcard))
            << std::string(text.begin(), text.end()) << " / "
            << std::string(wildcard.begin(), wildcard.end());
        ASSERT_LE(steps, Bound(text, wildcard));
    }
}

TEST(MatchWildcard, CodeUnitByCodeUnitAndCaseSensitive) {
    EXPECT_TRUE(MatchWildcard(u"ab.txt.txt", u"%.txt"));
    EXPECT_FALSE(MatchWildcard(u"ABC", u"abc"));
    // A character outside the basic plane is two code units, so two '_'.
    EXPECT_FALSE(MatchWildcard(u"\U0001F600", u"_"));
    EXPECT_TRUE(MatchWildcard(u"\U0001F600", u"__"));
    EXPECT_TRUE(MatchWildcard(u"\u00e9t\u00e9", u"_t_"));
    // NUL is an ordinary code unit.
    EXPECT_TRUE(MatchWildcard(std::u16string_view(u"a\0b", 3), std::u16string_view(u"a_b")));
}

TEST(MatchWildcard, PathologicalWildcardsStayWithinTheProductOfTheLengths) {
    const std::u16string text(20000, u'a');
    const std::u16string manyRuns = u"%a%a%a%a%a%a%a%a%b";
    // A long literal tail after the run is retried at every position of the text.
    const std::u16string longTail = u"%" + std::u16string(200, u'a') + u"b";
    for (const std::u16string& wildcard : {manyRuns, longTail}) {
        uint64_t steps = 0;
        EXPECT_FALSE(MatchWildcard(text, wildcard, &steps));
        EXPECT_LE(steps, Bound(text, wildcard));
        EXPECT_TRUE(MatchWildcard(text + u"b", wildcard, &steps));
        EXPECT_LE(steps, Bound(text + u"b", wildcard));
    }
    // Runs that match at once cost one pass over the text.
    uint64_t steps = 0;
    EXPECT_TRUE(MatchWildcard(text, u"%a%a%a%", &steps));
    EXPECT_LE(steps, text.size() + 8);
}

}  // namespace
