// Writing units as unit construction text: the layout, every value statement, and texts that
// read back to equal units.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/container_access.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/parser/unit_construction_format.h"
#include "enterprise/common/zaph/parser/unit_construction_text_format.h"
#include "enterprise/common/zaph/unit_builder.h"

namespace {

using Zaph::Construction::DefaultUnitFactory;
using Zaph::Construction::UnitPtr;
using Zaph::Util::FluentUnitBuilder;

std::string Text(const Zaph::View::Unit& unit, UnitConstructorFormat::Layout layout = {}) {
    return Common::ToUtf8(UnitConstructorFormat::UnitConstructionTextFormat(layout).Write(unit));
}

UnitPtr Sample() {
    return FluentUnitBuilder(DefaultUnitFactory())
        .Composite()
        .Trait("Is")
        .String(u"Machine")
        .End()
        .Property("Ports")
        .Array()
        .DWord(80)
        .End()
        .Composite()
        .Trait("t")
        .Nil()
        .End()
        .End()
        .End()
        .Property("Name")
        .String(u"M\u00FCller")
        .Trait("Tag")
        .Composite()
        .Property("x")
        .SByte(-1)
        .End()
        .End()
        .End()
        .End()
        .TakeResult();
}

TEST(UnitConstructionTextFormat, MembersGoOnIndentedLinesAndEveryUnitEnds) {
    EXPECT_EQ(Text(*Sample()),
              ".Composite()\n"
              "  .Trait(\"Is\").String(\"Machine\").End()\n"
              "  .Property(\"Name\").String(\"M\xC3\xBCller\")\n"
              "    .Trait(\"Tag\").Composite()\n"
              "      .Property(\"x\").SByte(-1).End()\n"
              "    .End()\n"
              "  .End()\n"
              "  .Property(\"Ports\").Array()\n"
              "    .DWord(80).End()\n"
              "    .Composite()\n"
              "      .Trait(\"t\").Nil().End()\n"
              "    .End()\n"
              "  .End()\n"
              ".End()");
    UnitPtr empty = FluentUnitBuilder(DefaultUnitFactory()).Array().End().TakeResult();
    EXPECT_EQ(Text(*empty), ".Array().End()");
}

TEST(UnitConstructionTextFormat, EachKindHasItsStatement) {
    auto one = [](auto build) {
        FluentUnitBuilder builder(DefaultUnitFactory());
        build(builder);
        return Text(*builder.End().TakeResult());
    };
    EXPECT_EQ(one([](auto& b) { b.Nil(); }), ".Nil().End()");
    EXPECT_EQ(one([](auto& b) { b.Boolean(false); }), ".Boolean(false).End()");
    EXPECT_EQ(one([](auto& b) { b.Byte(255); }), ".Byte(255).End()");
    EXPECT_EQ(one([](auto& b) { b.SWord(-32768); }), ".SWord(-32768).End()");
    EXPECT_EQ(one([](auto& b) { b.Word(65535); }), ".Word(65535).End()");
    EXPECT_EQ(one([](auto& b) { b.SDWord(-7); }), ".SDWord(-7).End()");
    EXPECT_EQ(one([](auto& b) { b.QWord(UINT64_MAX); }), ".QWord(18446744073709551615).End()");
    EXPECT_EQ(one([](auto& b) { b.SQWord(INT64_MIN); }), ".SQWord(-9223372036854775808).End()");
    EXPECT_EQ(one([](auto& b) { b.Double(0.5); }), ".Double(0.5).End()");
    EXPECT_EQ(one([](auto& b) { b.Double(1e20); }), ".Double(1e+20).End()");
    EXPECT_EQ(one([](auto& b) { b.Blob(Zaph::Blob{1, 2, 3}); }), ".Blob().End()");
    Common::Guid guid;
    ASSERT_TRUE(Common::GuidFromString("01234567-89ab-cdef-0123-456789abcdef", guid));
    EXPECT_EQ(one([&](auto& b) { b.Guid(guid); }),
              ".Guid(01234567-89AB-CDEF-0123-456789ABCDEF).End()");
    const std::string error =
        one([](auto& b) { b.Error(Common::Error(COMMON_PLACE("Test::Error"), 0x42, "bad")); });
    EXPECT_EQ(error.rfind(".Error(Error 0x42: bad\n| line: ", 0), 0u) << error;
}

TEST(UnitConstructionTextFormat, TheLayoutIsConfigurable) {
    UnitPtr unit = FluentUnitBuilder(DefaultUnitFactory())
                       .Composite()
                       .Property("a")
                       .Nil()
                       .End()
                       .End()
                       .TakeResult();
    UnitConstructorFormat::Layout layout;
    layout.linePrefix = u"> ";
    layout.lineSuffix = u";";
    layout.indent = u"\t";
    layout.lineBreak = u"\r\n";
    layout.quote = u"'";
    EXPECT_EQ(Text(*unit, layout),
              "> .Composite();\r\n> \t.Property('a').Nil().End();\r\n> .End();");
}

TEST(UnitConstructionTextFormat, WrittenTextsReadBackToEqualUnits) {
    Common::Guid guid;
    ASSERT_TRUE(Common::GuidFromString("01234567-89AB-CDEF-0123-456789ABCDEF", guid));
    const std::vector<UnitPtr> units = [&] {
        std::vector<UnitPtr> list;
        list.push_back(Sample());
        list.push_back(FluentUnitBuilder(DefaultUnitFactory())
                           .Array()
                           .Array()
                           .Byte(1)
                           .End()
                           .End()
                           .Guid(guid)
                           .Trait("G\u00E9")
                           .Boolean(true)
                           .End()
                           .End()
                           .QWord(UINT64_MAX)
                           .End()
                           .SQWord(INT64_MIN)
                           .End()
                           .String(u"")
                           .End()
                           .End()
                           .TakeResult());
        return list;
    }();
    for (const UnitPtr& unit : units) {
        Utils::InMemoryDataReader reader(
            UnitConstructorFormat::UnitConstructionTextFormat().Write(*unit));
        std::ostringstream trace;
        const UnitPtr back =
            Utils::UnitConstructionFormat(trace).Read(reader, DefaultUnitFactory());
        ASSERT_NE(back, nullptr) << trace.str();
        EXPECT_TRUE(Zaph::Util::UnitsEqual(*unit, *back)) << Text(*unit);
    }
}

TEST(UnitConstructionTextFormat, FormatWriteGivesUtf16LittleEndian) {
    class Collector final : public Utils::DataWriter {
      public:
        void WriteData(const std::vector<uint8_t>& bytes) override { written = bytes; }
        std::vector<uint8_t> written;
    } collector;
    UnitPtr unit =
        FluentUnitBuilder(DefaultUnitFactory()).String(u"\u00FC\u20AC").End().TakeResult();
    Utils::UnitConstructionFormat().Write(*unit, collector);
    const std::u16string expected = u".String(\"\u00FC\u20AC\").End()";
    ASSERT_EQ(collector.written.size(), expected.size() * 2);
    EXPECT_EQ(collector.written[0], '.');
    EXPECT_EQ(collector.written[1], 0);
    EXPECT_EQ(collector.written[20], 0xAC);
    EXPECT_EQ(collector.written[21], 0x20);
}

TEST(UnitConstructionTextFormat, UnitsDeeperThanTheLimitAreRefused) {
    FluentUnitBuilder builder(DefaultUnitFactory());
    for (uint32_t level = 0; level < Zaph::kMaxUnitDepth - 1; ++level) {
        builder.Array();
    }
    builder.Nil().End();  // the innermost element
    for (uint32_t level = 0; level < Zaph::kMaxUnitDepth - 1; ++level) {
        builder.End();
    }
    UnitPtr deepest = builder.TakeResult();
    ASSERT_NE(deepest, nullptr);
    EXPECT_NO_THROW(Text(*deepest));
    // One level more than any input may build.
    UnitPtr outer = DefaultUnitFactory().CreateArray();
    Zaph::Util::Detail::ArrayOf(*outer)->PushBack(std::move(deepest));
    try {
        Text(*outer);
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), Zaph::Errors::kUnitTooDeep);
    }
}

}  // namespace
