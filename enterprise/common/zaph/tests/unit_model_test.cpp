// The unit model: kinds, access, errors, trait sets, containers, typed objects and the printout.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/trace.h"
#include "enterprise/common/zaph/base_object.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/holders.h"
#include "enterprise/common/zaph/tests/unit_samples.h"
#include "enterprise/common/zaph/trace_unit.h"

namespace {

using namespace ZaphTest;
using testing::ElementsAre;
using Zaph::BaseObject;
using Zaph::TypeIndex;
using Zaph::Util::TraceUnitToString;
namespace Errors = Zaph::Errors;
namespace Util = Zaph::Util;

TEST(UnitModel, KindsAndAccessOfAnotherKind) {
    const std::vector<UnitPtr> units = OneOfEveryKind();
    for (uint32_t index = 0; index < units.size(); ++index) {
        EXPECT_EQ(Util::GetTypeIndex(*units[index]), index);
    }
    EXPECT_EQ(Util::GetValueTypeIndexVisitor().GetIndex(), TypeIndex::None);
    EXPECT_STREQ(Zaph::TypeName(TypeIndex::SQWord), "SQWord");
    EXPECT_EQ(Zaph::MessageTypeName(TypeIndex::Composite), u"composite");
    EXPECT_EQ(Zaph::MessageTypeName(42), u"42");

    UnitPtr byte = Factory().CreateByte(9);
    const Common::Error get = ErrorOf([&] { Util::GetValue<uint32_t>(*byte); });
    EXPECT_EQ(get.Code(), Errors::kTypeMismatch);
    EXPECT_EQ(MessageOf(get),
              "ZAPH: There is a mismatch in object internal structure. Expected object type is "
              "'dword', actual object type is 'byte'.");
    EXPECT_STREQ(get.Place().function, "Zaph::Util::Detail::MakeTypeMismatchError");
    EXPECT_EQ(Util::GetValueOr<uint32_t>(*byte, 77u), 77u);
    EXPECT_EQ(Util::GetValueOr<uint8_t>(*byte, 0), 9);

    const Common::Error set = ErrorOf([&] { Util::SetValue<int32_t>(*byte, 1); });
    EXPECT_EQ(set.Code(), Errors::kTypeMismatch);
    EXPECT_EQ(MessageOf(set), "ZAPH: Object internal structure mismatch.");
    Util::SetValue<uint8_t>(*byte, 7);
    EXPECT_EQ(Util::GetValue<uint8_t>(*byte), 7);
    UnitPtr text = Str(u"old");
    Util::SetValue<Zaph::String>(*text, u"new");
    EXPECT_EQ(Util::GetValue<Zaph::String>(*text), u"new");

    const Common::Error access = Errors::UnitMissingPropertyAccess(u".x");
    EXPECT_EQ(access.Code(), Errors::kGeneral);
    EXPECT_EQ(MessageOf(access), "ZAPH: Cannot access property by path '.x'.");
}

class CollectingTracer final : public Common::Tracer {
  public:
    void OnText(uint32_t, uint32_t level, uint32_t, uint32_t,
                std::u16string_view text) noexcept override {
        if (level == 2) {
            lines.push_back(Common::ToUtf8(text));
        }
    }
    void OnError(uint32_t, uint32_t, const Common::Error&) noexcept override {}
    std::vector<std::string> lines;
};

TEST(UnitModel, MismatchLogsTheStackReadyMadeVisitorsAcceptTheirKindOnly) {
    auto tracer = std::make_shared<CollectingTracer>();
    const auto previous = Common::SetTracer(tracer);
    EXPECT_EQ(ErrorCodeOf([] { Util::SetValue<uint32_t>(*Str(u"x"), 1); }), Errors::kTypeMismatch);
    Common::SetTracer(previous);

    ASSERT_GE(tracer->lines.size(), 2u);
    EXPECT_EQ(tracer->lines[0], "Stack logging from 'Zaph::Util::Detail::MakeTypeMismatchError'");
    EXPECT_THAT(tracer->lines[1], testing::StartsWith("Stack frame 0: '"));

    const UnitPtr array = Array(DWord(1), DWord(2));
    uint32_t sum = 0;
    auto add = Zaph::MakeProcessor<const Zaph::View::Unit>([&](const Zaph::View::Unit& element) {
        sum += Util::GetValue<uint32_t>(element);
        return false;
    });
    Zaph::View::ForEachArrayElementVisitor forEach(add);
    array->Accept(forEach);
    EXPECT_EQ(sum, 3u);
    EXPECT_EQ(MessageOf(ErrorOf([&] { DWord(5)->Accept(forEach); })),
              "ZAPH: There is a mismatch in object internal structure. Expected object type is "
              "'array', actual object type is 'dword'.");
    Zaph::Construction::CompositeVisitor composite;
    EXPECT_EQ(ErrorCodeOf([&] { array->Accept(composite); }), Errors::kTypeMismatch);
}

TEST(TraitSet, KeepsNameOrderDropsEqualTraitsAndRefusesAbsentOnes) {
    UnitPtr unit = WithTrait(WithTrait(Nil(), "A", Nil()), "A", Nil());
    EXPECT_THAT(TraitNames(*unit), ElementsAre("A"));
    unit = WithTrait(WithTrait(WithTrait(std::move(unit), "B", Str(u"y")), "B", Str(u"x")), "AA",
                     Nil());
    EXPECT_THAT(TraitNames(*unit), ElementsAre("A", "AA", "B", "B"));
    std::vector<std::u16string> values;
    auto collect = Zaph::MakeProcessor<const Zaph::View::Trait>([&](const Zaph::View::Trait& t) {
        values.push_back(Util::GetValue<Zaph::String>(t.GetValue()));
        return false;
    });
    unit->GetTraits().ForEachNamed("B", collect);
    unit->GetTraits().ForEachNamed("C", collect);
    EXPECT_THAT(values, ElementsAre(u"x", u"y"));
    EXPECT_EQ(unit->GetTraits().Remove("B"), 2u);
    EXPECT_EQ(unit->GetTraits().Remove("B"), 0u);
    EXPECT_THAT(TraitNames(*unit), ElementsAre("A", "AA"));

    EXPECT_EQ(ErrorCodeOf([&] { unit->GetTraits().Add(nullptr); }), Errors::kNullUnit);
    EXPECT_EQ(ErrorCodeOf([] { Factory().CreateTrait("T", nullptr); }), Errors::kNullUnit);
    EXPECT_EQ(ErrorCodeOf([] { Factory().CreateProperty("p", nullptr); }), Errors::kNullUnit);
    EXPECT_EQ(DWord(1)->GetTraits().Remove("A"), 0u);
}

TEST(Composite, SetsRemovesAndIteratesInNameOrder) {
    UnitPtr unit = Composite(Prop{"b", DWord(2)}, Prop{"a", DWord(1)});
    auto& composite = AsComposite(*unit);
    composite.Set(Factory().CreateProperty("a", Str(u"replaced")));
    composite.Set(Factory().CreateProperty("ab", Nil()));
    EXPECT_EQ(BinaryForm(*unit), BinaryForm(*Composite(Prop{"a", Str(u"replaced")},
                                                       Prop{"ab", Nil()}, Prop{"b", DWord(2)})));
    auto any = Zaph::MakeProcessor<const Zaph::View::Property>([](const auto&) { return true; });
    EXPECT_FALSE(std::as_const(composite).Find("c", any));
    composite.Remove("missing");
    composite.Remove("ab");
    EXPECT_THAT(PropertyNames(composite), ElementsAre("a", "b"));
    EXPECT_EQ(ErrorCodeOf([&] { composite.Set(nullptr); }), Errors::kNullUnit);

    // Copies of an iterator share its position.
    auto it = std::as_const(composite).GetIterator();
    const auto copy = it;
    std::string names;
    for (; it.IsValid(); it.Next()) {
        names += it.Current().GetName().Text();
    }
    EXPECT_EQ(names, "ab");
    EXPECT_FALSE(copy.IsValid());
    EXPECT_EQ(ErrorCodeOf([&] { it.Current(); }), Errors::kOutOfRange);
    EXPECT_FALSE(Zaph::CompositeIterator<const Zaph::View::Property>().IsValid());
}

TEST(Composite, SetSortedMergesABatchAndReplacesByName) {
    struct Case {
        std::vector<std::string> held;
        std::vector<std::string> batch;  // each set with the value 2, the held ones have 1
        std::vector<std::string> names;
        std::vector<uint32_t> values;
    };
    const Case cases[] = {
        {{}, {"a", "b"}, {"a", "b"}, {2, 2}},
        {{"a"}, {"b", "c"}, {"a", "b", "c"}, {1, 2, 2}},
        {{"b", "d"}, {"a", "b", "c", "e"}, {"a", "b", "c", "d", "e"}, {2, 2, 2, 1, 2}},
        {{"a", "b"}, {}, {"a", "b"}, {1, 1}},
        // Not in order, or a name twice: set one by one, the later one winning.
        {{"b"}, {"c", "a", "b"}, {"a", "b", "c"}, {2, 2, 2}},
        {{}, {"a", "a"}, {"a"}, {2}},
    };
    for (const Case& c : cases) {
        Zaph::CompositeValueHolder holder;
        for (const std::string& name : c.held) {
            holder.Set(Factory().CreateProperty(name, DWord(1)));
        }
        std::vector<Zaph::Construction::PropertyPtr> batch;
        for (const std::string& name : c.batch) {
            batch.push_back(Factory().CreateProperty(name, DWord(2)));
        }
        holder.SetSorted(batch);
        EXPECT_TRUE(batch.empty());
        EXPECT_EQ(PropertyNames(holder), c.names);
        std::vector<uint32_t> values;
        for (const auto& property : holder.Properties()) {
            values.push_back(Util::GetValue<uint32_t>(property->GetValue()));
        }
        EXPECT_EQ(values, c.values);
    }
    // A null property anywhere in the batch changes nothing.
    Zaph::CompositeValueHolder holder;
    holder.Set(Factory().CreateProperty("b", DWord(1)));
    std::vector<Zaph::Construction::PropertyPtr> batch;
    batch.push_back(Factory().CreateProperty("a", DWord(2)));
    batch.push_back(nullptr);
    EXPECT_EQ(ErrorCodeOf([&] { holder.SetSorted(batch); }), Errors::kNullUnit);
    EXPECT_THAT(PropertyNames(holder), ElementsAre("b"));
}

std::vector<uint32_t> Elements(const Zaph::View::ArrayValue& array) {
    std::vector<uint32_t> values;
    auto collect = Zaph::MakeProcessor<const Zaph::View::Unit>([&](const Zaph::View::Unit& u) {
        values.push_back(Util::GetValue<uint32_t>(u));
        return false;
    });
    array.ForEach(collect);
    return values;
}

TEST(Array, IndexRangeErrorsAndCopiesOfReadOnlyUnits) {
    UnitPtr unit = Array(DWord(0), DWord(1), DWord(2));
    auto& array = AsArray(*unit);
    auto any = Zaph::MakeProcessor<const Zaph::View::Unit>([](const auto&) { return true; });
    EXPECT_TRUE(std::as_const(array).ProcessAt(2, any));
    EXPECT_EQ(ErrorCodeOf([&] { std::as_const(array).ProcessAt(3, any); }), Errors::kOutOfRange);
    EXPECT_EQ(ErrorCodeOf([&] { array.RemoveAt(3); }), Errors::kOutOfRange);
    EXPECT_EQ(ErrorCodeOf([&] { array.Insert(4, DWord(9)); }), Errors::kOutOfRange);
    EXPECT_EQ(ErrorCodeOf([&] { array.PushBack(Zaph::Construction::UnitPtr()); }),
              Errors::kNullUnit);
    EXPECT_THAT(Elements(array), ElementsAre(0, 1, 2));
    array.Insert(3, DWord(3));  // at the size: appends
    array.Insert(0, DWord(7));
    array.RemoveAt(1);
    EXPECT_THAT(Elements(array), ElementsAre(7, 1, 2, 3));
    array.PopFront();
    array.PopBack();
    EXPECT_THAT(Elements(array), ElementsAre(1, 2));

    array.Clear();
    EXPECT_EQ(ErrorCodeOf([&] { std::as_const(array).ProcessFront(any); }), Errors::kOutOfRange);
    EXPECT_EQ(ErrorCodeOf([&] { std::as_const(array).ProcessBack(any); }), Errors::kOutOfRange);
    array.PopFront();  // no-ops on an empty array
    array.PopBack();
    EXPECT_TRUE(array.IsEmpty());

    // The modification layer stores copies of read-only units.
    array.PushBack(DWord(1));
    Zaph::Modification::ArrayValue& modification = array;
    Zaph::View::UnitPtr element = WithTrait(DWord(2), "T", Nil());
    const Zaph::View::Unit* original = element.get();
    modification.PushBack(std::move(element));
    modification.PushFront(Zaph::View::UnitPtr(DWord(0)));
    modification.Insert(3, Zaph::View::UnitPtr(DWord(3)));
    EXPECT_THAT(Elements(array), ElementsAre(0, 1, 2, 3));

    auto checkCopy = Zaph::MakeProcessor<Zaph::Modification::Unit>([&](auto& copied) {
        EXPECT_NE(&copied, original);
        EXPECT_THAT(TraitNames(copied), ElementsAre("T"));
        return false;
    });
    modification.ProcessAt(2, checkCopy);
    EXPECT_EQ(ErrorCodeOf([&] { array.PushBack(Zaph::View::UnitPtr()); }), Errors::kNullUnit);

    // ForEach stops at the first processor that answers true.
    size_t seen = 0;
    auto stopAtOne = Zaph::MakeProcessor<Zaph::Modification::Unit>([&](auto& element) {
        ++seen;
        return Util::GetValue<uint32_t>(element) == 1;
    });
    modification.ForEach(stopAtOne);
    EXPECT_EQ(seen, 2u);
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

TEST(BaseObject, ClonesMakesDefaultsAndRaisesThroughItsHandler) {
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

std::string Trace(const Zaph::View::Unit& unit, std::string_view prefix = "") {
    return TraceUnitToString(unit, prefix, true);
}

std::string Hex(uint64_t value) {
    std::ostringstream out;
    out << std::hex << value;
    return out.str();
}

TEST(TraceUnit, EveryKindErrorsWithTheirReasonsAndTheDepthBound) {
    const char* const lines[] = {
        "Root (NIL)\n",
        "Root (bool) = 1\n",
        "Root (unsigned char) = 254\n",
        "Root (signed char) = -2\n",
        "Root (unsigned short) = 65244\n",
        "Root (short) = -300\n",
        "Root (unsigned long) = 4275878552\n",
        "Root (long) = -70000\n",
        "Root (unsigned __int64) = 18364758544493064720\n",
        "Root (__int64) = -9223372036854775808\n",
        "Root (double) = -0.25\n",
        "Root (Blob) Size = 3\n",
        "Root (Common::Guid) = 00112233-4455-6677-8899-AABBCCDDEEFF\n",
        "Root (Common::String) = t\xc3\xa9xt\n",
        nullptr,  // the error, below
        "Root (Array)\n  0 (unsigned long) = 1\n  1 (Common::String) = two\n",
        "Root (Composite)\n  a (unsigned long) = 1\n  b (NIL)\n",
    };
    const std::vector<UnitPtr> units = OneOfEveryKind();
    for (size_t i = 0; i < units.size(); ++i) {
        if (lines[i] != nullptr) {
            EXPECT_EQ(Trace(*units[i]), lines[i]);
        }
    }
    EXPECT_EQ(Trace(*DWord(7), "  "), "  Root (unsigned long) = 7\n");
    EXPECT_EQ(Trace(*Factory().CreateBoolean(false)), "Root (bool) = 0\n");
    EXPECT_EQ(Trace(*Double(1e20)), "Root (double) = 1e+20\n");
    EXPECT_EQ(Trace(*Double(1234567.0)), "Root (double) = 1.23457e+06\n");
    EXPECT_EQ(Trace(*Double(-std::nan(""))).substr(0, 16), "Root (double) = ");
    // An unpaired surrogate does not convert: the low byte of each unit is written.
    EXPECT_EQ(Trace(*Str(u"a\xd841z")), "Root (Common::String) = a\x41z\n");

    Common::Error error(COMMON_PLACE("ZaphTest::Error"), 0xFA0001, u"outer");
    Common::Error middle(COMMON_PLACE("ZaphTest::Error"), 7);
    middle.Add(Common::Error(COMMON_PLACE("ZaphTest::Error"), 8, u"inner"));
    error.Add(middle);
    UnitPtr unit = Factory().CreateError(error);
    const Common::Error& stored = Zaph::Util::GetValue<Common::Error>(*unit);
    EXPECT_EQ(Trace(*unit, "  "),
              "  Root (Common::Error) Code = 16384001 LineTag = " + Hex(stored.Place().tag) +
                  " Message = outer\n"
                  "    (SubError) Code = 7 LineTag = " +
                  Hex(stored.Reason().Place().tag) +
                  "\n"
                  "      (SubError) Code = 8 LineTag = " +
                  Hex(stored.Reason().Reason().Place().tag) + " Message = inner\n");
    EXPECT_EQ(Trace(*Factory().CreateError({})), "Root (Common::Error) Code = 0 LineTag = 0\n");

    const UnitPtr deep = Nested(Zaph::kMaxUnitDepth + 1, InArray);
    EXPECT_EQ(ErrorCodeOf([&] { Trace(*deep); }), Zaph::Errors::kUnitTooDeep);
}

TEST(TraceUnit, ContainersTraitsAndNumbersInTheCLocale) {
    UnitPtr machine = WithTrait(Composite(Prop{"Name", Str(u"alpha")}), "Is", Str(u"Machine"));
    EXPECT_EQ(Trace(*machine, "  "),
              "  Root (Composite)\n"
              "    [Is (Common::String) = Machine]\n"
              "    Name (Common::String) = alpha\n");
    EXPECT_EQ(Trace(*Composite()), "Root (Composite)\n");
    EXPECT_EQ(Trace(*WithTrait(Array(DWord(1)), "K", Nil())),
              "Root (Array)\n"
              "  [K (NIL)]\n"
              "  0 (unsigned long) = 1\n");
    // A scalar's traits follow it two blanks further in.
    EXPECT_EQ(Trace(*WithTrait(DWord(1), "K", Nil()), "  "),
              "  Root (unsigned long) = 1\n"
              "    [K (NIL)]\n");

    UnitPtr unit = WithTrait(
        Nil(), "T",
        WithTrait(Composite(Prop{"a", DWord(1)}, Prop{"b", Array(Str(u"s"))}), "Inner", Nil()));
    EXPECT_EQ(Trace(*unit, "  "),
              "  Root (NIL)\n"
              "    [T (Composite)      [Inner (NIL)]      a (unsigned long) = 1"
              "      b (Array)        0 (Common::String) = s    ]\n");

    // The printout appends to the caller's buffer, after what the record holds already.
    std::string out = "<record>\n";
    Zaph::Util::TraceUnit(
        *Array(Double(0.5), DWord(1234567),
               Zaph::Construction::UnitPtr(Factory().CreateBlob(Zaph::Blob(1234)))),
        "", out, true);
    EXPECT_EQ(out,
              "<record>\n"
              "Root (Array)\n"
              "  0 (double) = 0.5\n"
              "  1 (unsigned long) = 1234567\n"
              "  2 (Blob) Size = 1234\n");
}

}  // namespace
