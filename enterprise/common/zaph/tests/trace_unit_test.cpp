#include "enterprise/common/zaph/trace_unit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <locale>
#include <sstream>

#include "enterprise/common/zaph/tests/unit_samples.h"

namespace {

using namespace ZaphTest;
using Zaph::Util::TraceUnitToString;

std::string Trace(const Zaph::View::Unit& unit, std::string_view prefix = "") {
    return TraceUnitToString(unit, prefix, true);
}

std::string Hex(uint64_t value) {
    std::ostringstream out;
    out << std::hex << value;
    return out.str();
}

TEST(TraceUnit, EveryKind) {
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
}

TEST(TraceUnit, ErrorsWithTheirReasonsAndTheDepthBound) {
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

TEST(TraceUnit, ContainersAndTraits) {
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
}

TEST(TraceUnit, ATraitStaysOnOneLine) {
    UnitPtr unit = WithTrait(
        Nil(), "T",
        WithTrait(Composite(Prop{"a", DWord(1)}, Prop{"b", Array(Str(u"s"))}), "Inner", Nil()));
    EXPECT_EQ(Trace(*unit, "  "),
              "  Root (NIL)\n"
              "    [T (Composite)      [Inner (NIL)]      a (unsigned long) = 1"
              "      b (Array)        0 (Common::String) = s    ]\n");
}

TEST(TraceUnit, NumbersIgnoreTheStreamLocale) {
    struct Grouping : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
    };
    std::ostringstream out;
    out.imbue(std::locale(out.getloc(), new Grouping));
    Zaph::Util::TraceUnit(
        *Array(Double(0.5), DWord(1234567),
               Zaph::Construction::UnitPtr(Factory().CreateBlob(Zaph::Blob(1234)))),
        "", out, true);
    EXPECT_EQ(out.str(),
              "Root (Array)\n"
              "  0 (double) = 0.5\n"
              "  1 (unsigned long) = 1234567\n"
              "  2 (Blob) Size = 1234\n");
}

}  // namespace
