#include "enterprise/common/zaph/data_accessor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/common/text.h"
#include "enterprise/common/zaph/tests/unit_samples.h"

namespace {

using namespace ZaphTest;
using Zaph::Util::ConstDataAccessor;
using Zaph::Util::DataAccessor;

std::shared_ptr<Zaph::Construction::Unit> Server() {
    return Composite(Prop{"Server", Composite(Prop{"Port", DWord(443)}, Prop{"Host", Str(u"h")})},
                     Prop{"Flag", Nil()});
}

template <class F>
std::string MessageOf(F&& action) {
    return Common::ToUtf8(ErrorOf(action).Message());
}

TEST(ConstDataAccessor, ChainedLookupsKeepTheTreeAlive) {
    ConstDataAccessor root(Server());
    ConstDataAccessor port = root["Server"]["Port"];
    root = ConstDataAccessor();
    EXPECT_EQ(port.GetValue<uint32_t>(), 443u);
    root = ConstDataAccessor(Server());
    EXPECT_EQ(root["Server"]["Port"].GetValue<uint32_t>(), 443u);
    EXPECT_EQ(root["Server"]["Host"].GetValue<Zaph::String>(), u"h");
    EXPECT_TRUE(root["Flag"].IsValid());
    EXPECT_FALSE(root["Missing"].IsValid());
    EXPECT_FALSE(root["Missing"]["Port"].IsValid());
    // A scalar has no members; the lookup itself raises nothing.
    EXPECT_FALSE(root["Server"]["Port"]["x"].IsValid());
    EXPECT_EQ(ErrorCodeOf([&] { root["Server"]["Host"].GetValue<uint32_t>(); }),
              Zaph::Errors::kTypeMismatch);
}

TEST(ConstDataAccessor, ReadingNothingNamesTheFirstMissingElementAndQuotesTheRoot) {
    std::shared_ptr<Zaph::Construction::Unit> tree = Composite(Prop{"a", DWord(1)});
    const ConstDataAccessor root(tree);
    const auto missing = root["b"]["c"];
    EXPECT_EQ(ErrorCodeOf([&] { missing.GetUnit(); }), Zaph::Errors::kElementNotFound);
    EXPECT_EQ(MessageOf([&] { missing.EnsureUnitIsValid(); }),
              "ZAPH: Element 'b' cannot be found. Unit: Root (Composite)\n"
              "  a (unsigned long) = 1");
    EXPECT_EQ(MessageOf([] { ConstDataAccessor().GetUnit(); }),
              "ZAPH: Element '' cannot be found.");

    // A large root is quoted up to a bound.
    std::shared_ptr<Zaph::Construction::Unit> big = Composite();
    for (int i = 0; i < 1000; ++i) {
        AsComposite(*big).Set(Factory().CreateProperty(std::to_string(i), DWord(i)));
    }
    const std::string message = MessageOf([&] { ConstDataAccessor(big)["x"].GetUnit(); });
    EXPECT_LT(message.size(), Zaph::Util::kMaxQuotedUnitText + 100);
    EXPECT_THAT(message, testing::EndsWith("..."));
}

TEST(DataAccessor, ChangesTheUnitItPointsAt) {
    std::shared_ptr<Zaph::Construction::Unit> tree = Server();
    const DataAccessor root(tree);
    Zaph::Util::SetValue<uint32_t>(root["Server"]["Port"].GetUnit(), 80);
    EXPECT_EQ(ConstDataAccessor(tree)["Server"]["Port"].GetValue<uint32_t>(), 80u);

    Zaph::Construction::Unit& server = root["Server"].GetUnit();
    const DataAccessor inner(tree, server);
    EXPECT_EQ(inner["Host"].GetValue<Zaph::String>(), u"h");
    EXPECT_EQ(ErrorCodeOf([&] { root["Nothing"].GetUnit(); }), Zaph::Errors::kArrayElementNotFound);
    EXPECT_EQ(MessageOf([&] { root["Nothing"].GetUnit(); }),
              "ZAPH: The array element cannot be found.");
}

}  // namespace
