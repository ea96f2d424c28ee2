#include "enterprise/common/zaph/base_object.h"

#include <gtest/gtest.h>

#include "core/common/text.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace {

using namespace ZaphTest;
using Zaph::BaseObject;
namespace Errors = Zaph::Errors;

std::string MessageOf(const Common::Error& error) {
    return Common::ToUtf8(error.Message());
}

TEST(ThrowingErrorHandler, RaisesOneErrorPerOperation) {
    Zaph::ErrorHandler& handler = Zaph::ThrowingErrorHandler::Instance();
    const Common::Error notFound = ErrorOf([&] { handler.PropertyNotFound(u".a.b"); });
    EXPECT_EQ(notFound.Code(), Errors::kPropertyNotFound);
    EXPECT_EQ(MessageOf(notFound), "ZAPH: Property '.a.b' cannot be found.");

    const Common::Error mismatch = ErrorOf([&] { handler.PropertyTypeMismatch(u".n", 6, 0); });
    EXPECT_EQ(mismatch.Code(), Errors::kTypeMismatch);
    EXPECT_EQ(MessageOf(mismatch),
              "ZAPH: There is a mismatch in object property '.n'. Expected property type is "
              "'dword', actual property type is 'nil'.");

    const Common::Error cause(COMMON_PLACE("Test::Cause"), 0xFA000F, u"cause");
    const Common::Error processing =
        ErrorOf([&] { handler.PropertyProcessingError(u".p", cause); });
    EXPECT_EQ(processing.Code(), Errors::kGeneral);
    EXPECT_EQ(MessageOf(processing), "ZAPH: Property '.p' processing error has occurred.");
    EXPECT_EQ(processing.Reason().Head(), cause.Head());
}

// A typed object whose default contents are the composite {count: 0}.
class Counter final : public BaseObject {
  public:
    explicit Counter(Context context) : BaseObject(std::move(context)) {
        SetDefaultValueFunction([](const BaseObject& object) {
            auto unit = object.Factory().CreateComposite();
            AsComposite(*unit).Set(object.Factory().CreateProperty("count", DWord(0)));
            return unit;
        });
    }
};

class Untyped final : public BaseObject {
  public:
    explicit Untyped(Context context) : BaseObject(std::move(context)) {}
};

TEST(BaseObject, ClonesItsBranchAndMakesDefaults) {
    const Counter counter(BaseObject::Context::ForNewObject(
        Composite(Prop{"count", DWord(3)}, Prop{"child", Composite(Prop{"x", Nil()})}), Factory()));
    const UnitPtr clone = counter.Clone();
    EXPECT_TRUE(Zaph::Util::UnitsEqual(*clone, counter.Branch()));
    EXPECT_NE(clone.get(), &counter.Branch());
    EXPECT_EQ(&counter.GetErrorHandler(), &Zaph::ThrowingErrorHandler::Instance());
    EXPECT_TRUE(
        Zaph::Util::UnitsEqual(*counter.DefaultValue(), *Composite(Prop{"count", DWord(0)})));

    // An object for a part of the unit shares the root.
    Zaph::Construction::Unit* child = nullptr;
    auto find = Zaph::MakeProcessor<Zaph::Construction::Property>([&](auto& property) {
        child = &property.GetValue();
        return true;
    });
    AsComposite(counter.Branch()).Find("child", find);
    const Untyped part(counter.ContextFor(*child));
    EXPECT_EQ(&part.Branch(), child);
    EXPECT_EQ(&part.Factory(), &counter.Factory());
}

TEST(BaseObject, UninitializedObjectsAndMissingDefaultsRaise) {
    const Untyped empty{BaseObject::Context{}};
    const Common::Error branch = ErrorOf([&] { empty.Branch(); });
    EXPECT_EQ(branch.Code(), Errors::kGeneral);
    EXPECT_EQ(MessageOf(branch), "ZAPH: There was an attempt to access an uninitialized object.");
    EXPECT_EQ(ErrorOf([&] { empty.Factory(); }).Code(), Errors::kGeneral);
    EXPECT_EQ(ErrorOf([&] { empty.Clone(); }).Code(), Errors::kGeneral);

    const Untyped untyped(BaseObject::Context::ForNewObject(Nil(), Factory()));
    const Common::Error noDefault = ErrorOf([&] { untyped.DefaultValue(); });
    EXPECT_EQ(noDefault.Code(), Errors::kGeneral);
    EXPECT_EQ(MessageOf(noDefault), "ZAPH: An internal error has occurred.");
}

}  // namespace
