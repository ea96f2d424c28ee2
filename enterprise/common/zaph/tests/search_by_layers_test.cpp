#include "enterprise/common/zaph/search_by_layers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "enterprise/common/zaph/tests/unit_samples.h"
#include "enterprise/common/zaph/value_access.h"

namespace {

using namespace ZaphTest;
using testing::ElementsAre;

// Searches `unit`, naming each unit given to the processor by its DWord value (0 for other
// kinds); stops at `stopAt`.
std::vector<uint32_t> Search(const Zaph::View::Unit& unit, uint32_t stopAt, bool* stopped) {
    std::vector<uint32_t> seen;
    auto record = Zaph::MakeProcessor<const Zaph::View::Unit>([&](const Zaph::View::Unit& u) {
        seen.push_back(Zaph::Util::GetValueOr<uint32_t>(u, 0));
        return seen.back() == stopAt;
    });
    *stopped = Zaph::Util::SearchByLayers(unit, record);
    return seen;
}

TEST(SearchByLayers, LevelByLevelInNameAndElementOrder) {
    bool stopped = false;
    UnitPtr tree = Composite(Prop{"c", DWord(2)}, Prop{"a", Composite(Prop{"b", DWord(1)})});
    EXPECT_THAT(Search(*tree, 99, &stopped), ElementsAre(0, 0, 2, 1));
    EXPECT_FALSE(stopped);

    UnitPtr mixed = WithTrait(Array(Array(DWord(3), Composite(Prop{"z", DWord(5)})), DWord(4)), "T",
                              DWord(9));  // traits are not searched
    EXPECT_THAT(Search(*mixed, 99, &stopped), ElementsAre(0, 0, 4, 3, 0, 5));
    EXPECT_THAT(Search(*tree, 2, &stopped), ElementsAre(0, 0, 2));  // stops at the first true
    EXPECT_TRUE(stopped);
}

TEST(SearchByLayers, DeepAndWideTreesWithoutRecursion) {
    // Far deeper than any recursive walk is allowed to go.
    UnitPtr deep = DWord(1);
    for (int level = 0; level < 5000; ++level) {
        deep = Array(std::move(deep));
    }
    bool stopped = false;
    EXPECT_EQ(Search(*deep, 1, &stopped).size(), 5001u);
    EXPECT_TRUE(stopped);
}

}  // namespace
