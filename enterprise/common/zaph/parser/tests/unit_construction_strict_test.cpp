// Reading the unit construction text format in strict mode: what it refuses that lenient mode
// reads (missing Ends, texts cut off, numbers out of range), where its errors say they are, and
// that lenient mode reads the same texts as before.

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/parser/unit_construction_format.h"
#include "enterprise/common/zaph/parser/unit_construction_parser.h"
#include "enterprise/common/zaph/trace_unit.h"
#include "enterprise/common/zaph/unit_builder.h"

namespace {

using Utils::ReadMode;

using Utils::BytesReader;

struct Outcome {
    std::vector<std::string> units;  // printouts of the units delivered
    Common::Error error;
    std::string message;
};

Outcome ReadAll(std::string_view text, ReadMode mode) {
    BytesReader reader(text);
    Outcome outcome;
    try {
        Utils::UnitConstructionFormat::ReadEach(
            reader, Zaph::Construction::DefaultUnitFactory(),
            [&](Zaph::Construction::UnitPtr unit) {
                outcome.units.push_back(Zaph::Util::TraceUnitToString(*unit, "", false));
            },
            mode);
    } catch (const Common::Error& error) {
        outcome.error = error;
        outcome.message = Common::ToUtf8(error.Message());
    }
    return outcome;
}

TEST(UnitConstructionStrict, StructuralFaultsAreRefusedWhereLenientModeGuesses) {
    struct Case {
        const char* text;
        uint32_t code;  // in strict mode; 0: no error
        const char* position;
        size_t strictUnits;
        size_t lenientUnits;  // lenient mode never fails on these texts
    };
    const Case cases[] = {
        // The first object lacks its End: lenient mode merges the second into it.
        {".Composite().Property(\"a\").DWord(1).End()\n.Composite().Property(\"b\").DWord(2)."
         "End().End()",
         4, "Line 2, column 1: ", 0, 1},
        {"DWord(1)DWord(2).End()", 4, "Line 1, column 9: ", 0, 1},
        {".Composite().Property(\"a\").DWord(1).DWord(2).End().End()", 4, "Line 1, column 36: ", 0,
         1},
        // Columns count characters: the name is two bytes of UTF-8 and one character.
        {".Composite().Property(\"\xC3\xA9\").DWord(1).DWord(2).End().End()", 4,
         "Line 1, column 36: ", 0, 1},
        // A property named twice: the second value would overwrite the first.
        {".Composite().Property(\"a\").DWord(1).End().Property(\"a\").DWord(2).End().End()", 4,
         "Line 1, column 56: ", 0, 1},
        {".Composite().Property(\"c\").Composite().End().Property(\"c\").Composite().End().End()",
         4, "Line 1, column 59: ", 0, 1},
        {".Composite().End()\n\n  .Composite().Property(\"a\").DWord(1)", 12,
         "Line 3, column 3: ", 1, 1},
        {".Composite().Property(\"a\")", 12, "Line 1, column 1: ", 0, 0},
        {".Array().Array().DWord(1).End().End()", 12, "Line 1, column 1: ", 0, 0},
        {"DWord(1).Trait(\"t\").Nil().End()", 12, "Line 1, column 1: ", 0, 0},
        // What strict mode reads: elements of arrays, traits, blank-separated or adjacent units.
        {".Array().DWord(1).End().Array().End().End()", 0, "", 1, 1},
        // Named again, an array takes elements and a composite properties.
        {".Composite().Property(\"l\").Array().End().Property(\"l\").DWord(2).End().End()"
         ".Property(\"c\").Composite().End().Property(\"c\").Property(\"y\").Nil().End().End()"
         ".End()",
         0, "", 1, 1},
        {"\n .Composite().End()\r\n\t.DWord(5).Trait(\"t\").Nil().End().End() .Nil().End()"
         ".Nil().End()\n",
         0, "", 4, 4},
        {"", 0, "", 0, 0},
        {" \n\t", 0, "", 0, 0},
    };
    for (const Case& c : cases) {
        const Outcome strict = ReadAll(c.text, ReadMode::Strict);
        EXPECT_EQ(strict.error.Code(), c.code) << c.text;
        EXPECT_EQ(strict.message.substr(0, std::string(c.position).size()), c.position) << c.text;
        EXPECT_EQ(strict.units.size(), c.strictUnits) << c.text;
        const Outcome lenient = ReadAll(c.text, ReadMode::Lenient);
        EXPECT_TRUE(lenient.error.IsEmpty()) << c.text << ": " << lenient.message;
        EXPECT_EQ(lenient.units.size(), c.lenientUnits) << c.text;
        if (c.code == 0) {
            EXPECT_EQ(strict.units, lenient.units) << c.text;
        }
    }
    EXPECT_EQ(ReadAll(cases[0].text, ReadMode::Strict).message,
              "Line 2, column 1: Statement 'Composite' gives a value to a unit that already has "
              "one (is an End missing before it?).");
    EXPECT_EQ(ReadAll(cases[6].text, ReadMode::Strict).message,
              "Line 3, column 3: The input ends inside the unit that begins here (is an End "
              "missing?).");
}

TEST(UnitConstructionStrict, OtherErrorsKeepTheirCodeAndGainThePosition) {
    struct Case {
        const char* text;
        uint32_t code;
        const char* message;
    };
    const Case cases[] = {
        {"Nil().End()\n  Double(1).End()", 6, "Line 2, column 3: Statement 'Double' is unknown."},
        {"Nil().End() DWord(x).End()", 3, "Line 1, column 13: Cannot convert 'x' to qword."},
        {"Property(\"a\").End()", Zaph::Errors::kNullUnit,
         "Line 1, column 1: ZAPH: Null units are forbidden."},
        {"Nil().End() Nil(", 1, "Line 1, column 13: Input is over!"},
        // Strict mode wants the ")" that lenient mode steps over unseen.
        {"Byte(5].End()", 2, "Line 1, column 1: Expected symbol is not found!"},
    };
    for (const Case& c : cases) {
        const Outcome strict = ReadAll(c.text, ReadMode::Strict);
        EXPECT_EQ(strict.error.Code(), c.code) << c.text;
        EXPECT_EQ(strict.message, c.message) << c.text;
        // The error as raised is kept as the reason.
        EXPECT_EQ(strict.error.Reason().Code(), c.code) << c.text;
        const std::string message = c.message;
        EXPECT_EQ(Common::ToUtf8(strict.error.Reason().Message()),
                  message.substr(message.find(": ") + 2))
            << c.text;
    }
    EXPECT_TRUE(ReadAll("Byte(5].End()", ReadMode::Lenient).error.IsEmpty());
}

TEST(UnitConstructionStrict, NumbersMustFitTheirKind) {
    struct Case {
        const char* statement;
        uint32_t code;            // in strict mode; 0: read as `same`
        const char* same;         // a statement read to the same unit in both modes
        const char* lenientSame;  // what lenient mode makes of a refused statement
    };
    const Case cases[] = {
        {"Byte(256)", 3, "", "Byte(0)"},
        {"Word(65537)", 3, "", "Word(1)"},
        {"DWord(4294967297)", 3, "", "DWord(1)"},
        {"SWord(40000)", 8, "", "SWord(-25536)"},
        {"SDWord(2147483648)", 8, "", "SDWord(-2147483648)"},
        {"DWord(-2)", 3, "", "DWord(4294967294)"},
        {"DWord(-1)", 3, "", "DWord(4294967295)"},
        {"SQWord(9223372036854775808)", 8, "", "SQWord(-9223372036854775808)"},
        {"QWord(-1)", 3, "", "QWord(18446744073709551615)"},
        {"SByte(128)", 8, "", "SByte(-128)"},
        {"SByte(-129)", 8, "", "SByte(127)"},
        {"SByte(0x100)", 8, "", "SByte(0)"},
        {"SByte(-0x81)", 8, "", "SByte(127)"},
        {"SDWord(-2147483649)", 8, "", "SDWord(2147483647)"},
        {"Word(0x10000)", 3, "", "Word(0)"},
        {"Byte(100h)", 3, "", "Byte(0)"},
        // The edges of each range, and what the header promises of "-0" and hexadecimal.
        {"Byte(255)", 0, "Byte(255)", ""},
        {"Byte(-0)", 0, "Byte(0)", ""},
        {"DWord()", 0, "DWord(0)", ""},
        {"Word(FFFFh)", 0, "Word(65535)", ""},
        {"QWord(18446744073709551615)", 0, "QWord(18446744073709551615)", ""},
        {"SByte(-128)", 0, "SByte(-128)", ""},
        {"SByte(127)", 0, "SByte(127)", ""},
        {"SByte(0xFF)", 0, "SByte(-1)", ""},
        {"SByte(0x80)", 0, "SByte(-128)", ""},
        {"SByte(-0x80)", 0, "SByte(-128)", ""},
        {"SWord(-32768)", 0, "SWord(-32768)", ""},
        {"SDWord(2147483647)", 0, "SDWord(2147483647)", ""},
        {"SQWord(-9223372036854775808)", 0, "SQWord(-9223372036854775808)", ""},
        {"SQWord(0xFFFFFFFFFFFFFFFF)", 0, "SQWord(-1)", ""},
    };
    for (const Case& c : cases) {
        const std::string text = std::string(c.statement) + ".End()";
        const Outcome strict = ReadAll(text, ReadMode::Strict);
        const Outcome lenient = ReadAll(text, ReadMode::Lenient);
        ASSERT_TRUE(lenient.error.IsEmpty()) << c.statement;
        EXPECT_EQ(strict.error.Code(), c.code) << c.statement;
        if (c.code == 0) {
            EXPECT_EQ(strict.units,
                      ReadAll(std::string(c.same) + ".End()", ReadMode::Lenient).units)
                << c.statement;
            EXPECT_EQ(lenient.units, strict.units) << c.statement;
        } else {
            EXPECT_NE(strict.message.find("is out of the range of"), std::string::npos)
                << c.statement << ": " << strict.message;
            EXPECT_EQ(lenient.units,
                      ReadAll(std::string(c.lenientSame) + ".End()", ReadMode::Lenient).units)
                << c.statement;
        }
    }
    EXPECT_EQ(ReadAll("Nil().End()\nByte(256).End()", ReadMode::Strict).message,
              "Line 2, column 1: '256' is out of the range of Byte (0 to 255).");
    EXPECT_EQ(ReadAll("SQWord(-9223372036854775809).End()", ReadMode::Strict).message,
              "Line 1, column 1: '-9223372036854775809' is out of the range of SQWord "
              "(-9223372036854775808 to 9223372036854775807).");
}

TEST(UnitConstructionStrict, TheTraceIsTheSameInBothModes) {
    const std::string text =
        ".Composite().Property(\"n\").SDWord(-5).End().Property('b').Byte(7).End().End()";
    std::string traces[2];
    for (const ReadMode mode : {ReadMode::Lenient, ReadMode::Strict}) {
        std::ostringstream trace;
        Zaph::Util::UnitAccumulator accumulator(Zaph::Construction::DefaultUnitFactory());
        UnitConstructionParser::Interpret(text, accumulator, trace, {}, mode);
        EXPECT_NE(accumulator.TakeResult(), nullptr);
        traces[mode == ReadMode::Strict] = trace.str();
    }
    EXPECT_EQ(traces[0], traces[1]);
    EXPECT_EQ(traces[1],
              "Interpret trace: .Composite().Property(\"n\").SDword(-5).End().Property(\"b\")"
              ".Byte('undefined').End().End()\n");
}

TEST(UnitConstructionStrict, PositionsCountLinesAndCharacters) {
    struct Case {
        const char* text;
        size_t offset;
        size_t line;
        size_t column;
    };
    const Case cases[] = {
        {"", 0, 1, 1},       {"abc", 2, 1, 3},       {"a\nb", 2, 2, 1},
        {"a\r\nb", 3, 2, 1}, {"\xC3\xA9x", 2, 1, 2}, {"\xFF\xFFx", 2, 1, 3},
        {"ab", 10, 1, 3},    {"\xE2\x82", 2, 1, 3},  {"\n\n\n", 3, 4, 1},
    };
    for (const Case& c : cases) {
        const UnitConstructionParser::TextPosition position =
            UnitConstructionParser::LocateInText(c.text, c.offset);
        EXPECT_EQ(position.line, c.line) << c.text;
        EXPECT_EQ(position.column, c.column) << c.text;
    }
}

}  // namespace
