// Writing units as unit construction text: the layout, every value statement, and texts that
// read back to equal units.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "core/common/text.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/parser/unit_construction_format.h"
#include "enterprise/common/zaph/parser/unit_construction_text_format.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace {

using Zaph::Construction::DefaultUnitFactory;
using Zaph::Construction::UnitPtr;

std::string Text(const Zaph::View::Unit& unit, UnitConstructorFormat::Layout layout = {}) {
    return Common::ToUtf8(UnitConstructorFormat::UnitConstructionTextFormat(layout).Write(unit));
}

UnitPtr Read(std::string_view text) {
    Utils::BytesReader reader(text);
    std::ostringstream trace;
    UnitPtr unit = Utils::UnitConstructionFormat(trace).Read(reader, DefaultUnitFactory());
    EXPECT_NE(unit, nullptr) << text;
    return unit ? std::move(unit) : DefaultUnitFactory().CreateNil();
}

// Texts read and written again: members on indented lines, every unit closed by its End; and the
// kinds that no statement reads.
TEST(UnitConstructionTextFormat, ReadTextsAreWrittenAsReadAndKindsWithoutAStatement) {
    for (const char* text :
         {".Array().End()", ".Nil().End()", ".Boolean(false).End()", ".Boolean(true).End()",
          ".Byte(255).End()", ".Word(65535).End()", ".SWord(-32768).End()", ".SDWord(-7).End()",
          ".QWord(18446744073709551615).End()", ".SQWord(-9223372036854775808).End()",
          ".Guid(01234567-89AB-CDEF-0123-456789ABCDEF).End()"}) {
        EXPECT_EQ(Text(*Read(text)), text);
    }
    const char* const nested =
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
        ".End()";
    EXPECT_EQ(Text(*Read(nested)), nested);
    UnitConstructorFormat::Layout layout;
    layout.linePrefix = u"> ";
    layout.lineSuffix = u";";
    layout.indent = u"\t";
    layout.lineBreak = u"\r\n";
    layout.quote = u"'";
    EXPECT_EQ(Text(*Read(".Composite().Property('a').Nil().End().End()"), layout),
              "> .Composite();\r\n> \t.Property('a').Nil().End();\r\n> .End();");
    EXPECT_EQ(Text(*ZaphTest::Double(0.5)), ".Double(0.5).End()");
    EXPECT_EQ(Text(*ZaphTest::Double(1e20)), ".Double(1e+20).End()");
    EXPECT_EQ(Text(*DefaultUnitFactory().CreateBlob({1, 2, 3})), ".Blob().End()");
    const std::string error = Text(
        *DefaultUnitFactory().CreateError(Common::Error(COMMON_PLACE("Test::Error"), 0x42, "bad")));
    EXPECT_EQ(error.rfind(".Error(Error 0x42: bad\n| line: ", 0), 0u) << error;
}

TEST(UnitConstructionTextFormat, FormatWriteGivesUtf16LittleEndianThatReadsBack) {
    class Collector final : public Utils::DataWriter {
      public:
        void WriteData(const std::vector<uint8_t>& bytes) override { written = bytes; }
        std::vector<uint8_t> written;
    } collector;
    const UnitPtr unit = Read(
        ".Array().String(\"\xC3\xBC\xE2\x82\xAC\").End().Array().Byte(1).End()"
        ".End().Guid(01234567-89AB-CDEF-0123-456789ABCDEF).Trait(\"G\xC3\xA9\")"
        ".Boolean(true).End().End().String(\"\").End().End()");
    Utils::UnitConstructionFormat().Write(*unit, collector);
    std::u16string text(collector.written.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] =
            static_cast<char16_t>(collector.written[2 * i] | collector.written[2 * i + 1] << 8);
    }
    ASSERT_EQ(text.substr(0, 21), u".Array()\n  .String(\"\u00FC");
    EXPECT_TRUE(Zaph::Util::UnitsEqual(*unit, *Read(Common::ToUtf8(text)))) << Text(*unit);
}

TEST(UnitConstructionTextFormat, UnitsDeeperThanTheLimitAreRefused) {
    UnitPtr unit = ZaphTest::Nil();
    for (uint32_t level = 1; level < Zaph::kMaxUnitDepth; ++level) {
        unit = ZaphTest::Array(std::move(unit));
    }
    EXPECT_NO_THROW(Text(*unit));  // as deep as any input may build
    unit = ZaphTest::Array(std::move(unit));
    EXPECT_EQ(ZaphTest::ErrorCodeOf([&] { Text(*unit); }), Zaph::Errors::kUnitTooDeep);
}

}  // namespace
