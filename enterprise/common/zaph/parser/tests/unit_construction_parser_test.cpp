// Reading the unit construction text format, leniently and strictly: the units texts become,
// the trace line, and the codes, texts and positions of the errors of bad texts.

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/common/text.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/parser/unit_construction_format.h"
#include "enterprise/common/zaph/parser/unit_construction_parser.h"
#include "enterprise/common/zaph/trace_unit.h"
#include "enterprise/common/zaph/unit_builder.h"

namespace {

using Utils::BytesReader;
using Utils::ReadMode;
using Zaph::Construction::DefaultUnitFactory;

struct Outcome {
    std::vector<std::string> units;  // one-line printouts of the units read
    std::string trace;
    Common::Error error;
};

// The units read, then the error: "error <code>: <text>", the text cut after its position.
std::string Describe(const Outcome& outcome, bool positionOnly = false) {
    std::string text;
    for (const std::string& unit : outcome.units) {
        text += (text.empty() ? "" : "; ") + unit;
    }
    if (!outcome.error.IsEmpty()) {
        const std::string message = Common::ToUtf8(outcome.error.Message());
        text += (text.empty() ? "error " : "; error ") + std::to_string(outcome.error.Code()) +
                ": " + (positionOnly ? message.substr(0, message.find(':')) : message);
    }
    return text;
}

// The units of `text`: one read leniently with a traced format when there is no `mode`, else
// every unit read in `mode` without trace.
Outcome Read(std::string_view text, std::optional<ReadMode> mode = std::nullopt) {
    std::ostringstream trace;
    BytesReader reader(text);
    Outcome outcome;
    const auto take = [&](const Zaph::View::Unit& unit) {
        outcome.units.push_back(Zaph::Util::TraceUnitToString(unit, "", false));
    };
    try {
        if (!mode) {
            const auto unit =
                Utils::UnitConstructionFormat(trace).Read(reader, DefaultUnitFactory());
            if (unit) {
                take(*unit);
            }
        } else {
            const size_t count = Utils::UnitConstructionFormat::ReadEach(
                reader, DefaultUnitFactory(),
                [&](Zaph::Construction::UnitPtr unit) { take(*unit); }, *mode);
            EXPECT_EQ(count, outcome.units.size()) << text;
        }
    } catch (const Common::Error& error) {
        outcome.error = error;
    }
    outcome.trace = trace.str();
    return outcome;
}

// Each text with the unit it gives (its printout, "" for none, or "error <code>: <text>") and the
// trace after "Interpret trace: ", which ends in a line end only when the text was read whole.
TEST(UnitConstructionRead, UnitsErrorsAndTheirTrace) {
    const char* const cases[][3] = {
        {R"(.Composite().Trait("Is").String("Machine").End().End())",
         "Root (Composite)  [Is (Common::String) = Machine]",
         ".Composite().Trait(\"Is\").String(\"Machine\").End().End()\n"},
        // Dots and white space between statements are optional.
        {"Composite()End()", "Root (Composite)", ".Composite().End()\n"},
        {" \t.Composite()\r\n  Property(\"a\") .Nil()\n.End() End()\n", "Root (Composite)  a (NIL)",
         ".Composite().Property(\"a\").Nil().End().End()\n"},
        // No closed root, no unit; the root closed last is the result.
        {" \r\n\t ", "", "\n"},
        {".Composite().Property(\"a\").Nil()", "", ".Composite().Property(\"a\").Nil()\n"},
        {".DWord(1).End().DWord(2).End().Composite()", "Root (unsigned long) = 2",
         ".Dword(1).End().Dword(2).End().Composite()\n"},
        {".Composite().Property(\"b\").DWord(2).End().Property(\"a\").Array().Nil().End()"
         ".String('x').Trait('t').Boolean(yes).End().End().End().End()",
         "Root (Composite)  a (Array)    0 (NIL)    1 (Common::String) = x      [t (bool) = 1]"
         "  b (unsigned long) = 2",
         ".Composite().Property(\"b\").Dword(2).End().Property(\"a\").Array().Nil().End()"
         ".String(\"x\").Trait(\"t\").Boolean('undefined').End().End().End().End()\n"},
        // Numbers keep the low bits of their statement's width.
        {"Byte(300).End()", "Root (unsigned char) = 44", ".Byte('undefined').End()\n"},
        {"SByte(255).End()", "Root (signed char) = -1", ".SByte('undefined').End()\n"},
        {"Word(65537).End()", "Root (unsigned short) = 1", ".Word('undefined').End()\n"},
        {"SWord(0x8000).End()", "Root (short) = -32768", ".SWord('undefined').End()\n"},
        {"DWord(0XfF).End()", "Root (unsigned long) = 255", ".Dword(255).End()\n"},
        {"DWord(aBH).End()", "Root (unsigned long) = 171", ".Dword(171).End()\n"},
        {"DWord().End()", "Root (unsigned long) = 0", ".DWord(0).End()\n"},
        {"SDWord(4294967295).End()", "Root (long) = -1", ".SDword(-1).End()\n"},
        {"SDWord().End()", "Root (long) = 0", ".SDWord(0).End()\n"},
        {"QWord(-1).End()", "Root (unsigned __int64) = 18446744073709551615",
         ".QWord(18446744073709551615).End()\n"},
        {"SQWord(-0x10).End()", "Root (__int64) = -16", ".SQWord(-16).End()\n"},
        {"QWord(18446744073709551616)", "error 3: Cannot convert '18446744073709551616' to qword.",
         ""},
        {"Byte(-)", "error 3: Cannot convert '' to qword.", ""},
        {"Word(-1g)", "error 3: Cannot convert '1g' to qword.", ""},
        {"DWord(0x)", "error 3: Cannot convert '0x' to qword.", ""},
        {"DWord(0x10h)", "error 3: Cannot convert '0x10h' to qword.", ""},
        {"SByte(--1)", "error 8: Cannot convert '--1' to sqword.", ""},
        // Booleans are true for any word but "false"; any character opens a text, either quote
        // closes it; GUIDs are written without braces.
        {"Boolean().End()", "Root (bool) = 0", ".Boolean('undefined').End()\n"},
        {"Boolean(false).End()", "Root (bool) = 0", ".Boolean('undefined').End()\n"},
        {"Boolean(False).End()", "Root (bool) = 1", ".Boolean('undefined').End()\n"},
        {"String('ab\").End()", "Root (Common::String) = ab", ".String(\"ab\").End()\n"},
        {"String(xab').End()", "Root (Common::String) = ab", ".String(\"ab\").End()\n"},
        {"String().End()", "Root (Common::String) = ", ".String(\"\").End()\n"},
        {"String('it\"s').End()", "error 6: Statement '').End' is unknown.", ".String(\"it\")"},
        {"Guid(01234567-89ab-CDEF-0123-456789ABCDEF).End()",
         "Root (Common::Guid) = 01234567-89AB-CDEF-0123-456789ABCDEF",
         ".Guid('undefined').End()\n"},
        {"Guid().End()", "Root (Common::Guid) = 00000000-0000-0000-0000-000000000000",
         ".Guid('undefined').End()\n"},
        {"Guid(1234-5678).End()", "error 7: Cannot convert '1234-5678' to Common::Guid.", ""},
        {"Guid({01234567-89AB-CDEF-0123-456789ABCDEF}).End()",
         "error 6: Statement '01234567-89AB-CDEF-0123-456789ABCDEF}).End' is unknown.",
         ".Guid('undefined')"},
        // Texts are decoded as UTF-8, bytes that are not UTF-8 one per character, and echoed.
        {"Composite().Property(\"Gr\xC3\xB6\xC3\x9F\").String(\"M\xC3\xBCller\").End().End()",
         "Root (Composite)  Gr\xC3\xB6\xC3\x9F (Common::String) = M\xC3\xBCller",
         ".Composite().Property(\"Gr\xC3\xB6\xC3\x9F\").String(\"M\xC3\xBCller\").End().End()\n"},
        {"String(\"a\xFF\xC3\").Trait(\"\xE9\").Nil().End().End()",
         "Root (Common::String) = a\xC3\xBF\xC3\x83  [\xC3\xA9 (NIL)]",
         ".String(\"a\xFF\xC3\").Trait(\"\xE9\").Nil().End().End()\n"},
        // After an argument the next character is stepped over, a blank as well as ")".
        {"DWord(5 ).End()", "error 6: Statement ').End' is unknown.", ".Dword(5)"},
        {"Nil( )", "error 2: Expected symbol is not found!", ".Nil()"},
        // The text ends inside a statement.
        {"Nil(", "error 1: Input is over!", ".Nil()"},
        {"DWord(", "error 1: Input is over!", ""},
        {"String(\"a\"", "error 1: Input is over!", ".String(\"a\")"},
        {"DWord(5", "error 2: Expected symbol is not found!", ""},
        {"Composite", "error 2: Expected symbol is not found!", ""},
        // Only the seventeen statements are known, by their exact names.
        {"Blob(1).End()", "error 6: Statement 'Blob' is unknown.", ""},
        {"DWORD(1).End()", "error 6: Statement 'DWORD' is unknown.", ""},
        {"\xEF\xBB\xBF.Nil().End()", "error 6: Statement '\xEF\xBB\xBF.Nil' is unknown.", ""},
        // The builder's errors pass through.
        {"Trait('x').Nil().End().End()", "error 16384011: ZAPH: Null units are forbidden.",
         ".Trait(\"x\")"},
        {"End()", "error 16384011: ZAPH: Null units are forbidden.", ".End()"},
    };
    for (const auto& [text, result, trace] : cases) {
        const Outcome outcome = Read(text);
        EXPECT_EQ(Describe(outcome), result) << text;
        EXPECT_EQ(outcome.trace, std::string("Interpret trace: ") + trace) << text;
    }
    const std::pair<const char*, const char*> places[] = {
        {"DWord(z)", "UnitConstructionParser::ArgumentStream::TakeQwordValue"},
        {"SDWord(z)", "UnitConstructionParser::ArgumentStream::TakeSQwordValue"},
        {"Nil(", "UnitConstructionParser::TokenStream::GetInput"},
        {"String(\"abc", "UnitConstructionParser::TokenStream::GetNext"},
        {"Blob()", "UnitConstructionParser::StatementStream::GetStatement"},
    };
    for (const auto& [text, place] : places) {
        EXPECT_STREQ(Read(text).error.Place().function, place) << text;
    }
    EXPECT_EQ(Read("DWord(1).Property('a')").error.Code(), Zaph::Errors::kTypeMismatch);
    std::string deep;
    for (uint32_t level = 0; level < Zaph::kMaxUnitDepth; ++level) {
        deep += "Array()";
    }
    EXPECT_EQ(Read(deep + "Nil()").error.Code(), Zaph::Errors::kUnitTooDeep);
    EXPECT_EQ(UnitConstructionParser::DecodeText("\xC0\x80x\xF0\x9F\x98\x80\xE2\x82"),
              u"\u00C0\u0080x\U0001F600\u00E2\u0082");
}

// The default trace is standard output; reading each unit traces nothing.
TEST(UnitConstructionReadEach, EveryClosedRootInOrderUntilAnError) {
    BytesReader reader("Nil().End()");
    testing::internal::CaptureStdout();
    EXPECT_NE(Utils::UnitConstructionFormat().Read(reader, DefaultUnitFactory()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Interpret trace: .Nil().End()\n");
    testing::internal::CaptureStdout();
    const Outcome all =
        Read("Nil().End() DWord(1).End()\nComposite().Property('a').Nil().End().End() Composite()",
             ReadMode::Lenient);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(all.units, (std::vector<std::string>{"Root (NIL)", "Root (unsigned long) = 1",
                                                   "Root (Composite)  a (NIL)"}));
    const Outcome broken = Read("Nil().End() Double(1).End() Nil().End()", ReadMode::Lenient);
    EXPECT_EQ(broken.error.Code(), 6u);
    EXPECT_EQ(broken.units.size(), 1u);
    BytesReader again("Nil().End()");
    EXPECT_THROW(Utils::UnitConstructionFormat::ReadEach(again, DefaultUnitFactory(),
                                                         [](auto) { throw Common::Error(); }),
                 Common::Error);
}

// Each text with what strict and lenient mode read from it: the units, then the error (in strict
// mode with the position of the statement where it was raised).
TEST(UnitConstructionStrict, RefusesWhatLenientModeGuessesAndSaysWhere) {
    const char* const cases[][3] = {
        // text, strict mode, lenient mode (nullptr: the same)
        // An End is missing: lenient mode takes the next unit's statements into the open one.
        {".Composite().Property(\"a\").DWord(1).End()\n.Composite().Property(\"b\").DWord(2)."
         "End().End()",
         "error 4: Line 2, column 1",
         "Root (Composite)  a (unsigned long) = 1  b (unsigned long) = 2"},
        // Columns count characters: the name is two bytes of UTF-8 and one character.
        {".Composite().Property(\"\xC3\xA9\").DWord(1).DWord(2).End().End()",
         "error 4: Line 1, column 36", "Root (Composite)  \xC3\xA9 (unsigned long) = 2"},
        // A property named again: its value would be overwritten.
        {".Composite().Property(\"a\").DWord(1).End().Property(\"a\").DWord(2).End().End()",
         "error 4: Line 1, column 56", "Root (Composite)  a (unsigned long) = 2"},
        {".Composite().End()\n\n  .Composite().Property(\"a\").DWord(1)",
         "Root (Composite); error 12: Line 3, column 3", "Root (Composite)"},
        {".Array().Array().DWord(1).End().End()", "error 12: Line 1, column 1", ""},
        // A property opened last, with no value yet, leaves its composite open too.
        {".Composite().Property(\"a\")", "error 12: Line 1, column 1", ""},
        {"DWord(1).Trait(\"t\").Nil().End()", "error 12: Line 1, column 1", ""},
        // Named again, an array takes elements and a composite properties.
        {".Composite().Property(\"l\").Array().End().Property(\"l\").DWord(2).End().End()"
         ".Property(\"c\").Composite().End().Property(\"c\").Property(\"y\").Nil().End().End()"
         ".End()",
         "Root (Composite)  c (Composite)    y (NIL)  l (Array)    0 (unsigned long) = 2", nullptr},
        {"\n .Array().DWord(1).End().Array().End().End()\r\n\t.DWord(5).Trait(\"t\").Nil().End()"
         ".End() .Nil().End().Nil().End()\n",
         "Root (Array)  0 (unsigned long) = 1  1 (Array); Root (unsigned long) = 5  [t (NIL)]; "
         "Root (NIL); Root (NIL)",
         nullptr},
        // Other errors keep their code and gain the position.
        {"Nil().End()\n  Double(1).End()", "Root (NIL); error 6: Line 2, column 3",
         "Root (NIL); error 6: Statement 'Double' is unknown."},
        {"Nil().End() DWord(x).End()", "Root (NIL); error 3: Line 1, column 13",
         "Root (NIL); error 3: Cannot convert 'x' to qword."},
        {"Property(\"a\").End()", "error 16384011: Line 1, column 1",
         "error 16384011: ZAPH: Null units are forbidden."},
        // Strict mode wants the ")" that lenient mode steps over unseen.
        {"Byte(5].End()", "error 2: Line 1, column 1", "Root (unsigned char) = 5"},
        // Numbers must fit their kind.
        {"Byte(256).End()", "error 3: Line 1, column 1", "Root (unsigned char) = 0"},
        {"DWord(-1).End()", "error 3: Line 1, column 1", "Root (unsigned long) = 4294967295"},
        {"SQWord(9223372036854775808).End()", "error 8: Line 1, column 1",
         "Root (__int64) = -9223372036854775808"},
        {"SByte(128).End()", "error 8: Line 1, column 1", "Root (signed char) = -128"},
        {"SByte(-129).End()", "error 8: Line 1, column 1", "Root (signed char) = 127"},
        {"SByte(0x100).End()", "error 8: Line 1, column 1", "Root (signed char) = 0"},
        {"SByte(-0x81).End()", "error 8: Line 1, column 1", "Root (signed char) = 127"},
        // The edges of the ranges, "-0", and hexadecimal bit patterns of signed kinds.
        {"Byte(255).End() Byte(-0).End() Word(FFFFh).End()",
         "Root (unsigned char) = 255; Root (unsigned char) = 0; Root (unsigned short) = 65535",
         nullptr},
        {"QWord(18446744073709551615).End() SQWord(0xFFFFFFFFFFFFFFFF).End()",
         "Root (unsigned __int64) = 18446744073709551615; Root (__int64) = -1", nullptr},
        {"SByte(-128).End() SByte(127).End() SByte(0xFF).End() SByte(-0x80).End()",
         "Root (signed char) = -128; Root (signed char) = 127; Root (signed char) = -1; "
         "Root (signed char) = -128",
         nullptr},
        {"SQWord(-9223372036854775808).End() SDWord(2147483647).End()",
         "Root (__int64) = -9223372036854775808; Root (long) = 2147483647", nullptr},
    };
    for (const auto& [text, strict, lenient] : cases) {
        EXPECT_EQ(Describe(Read(text, ReadMode::Strict), true), strict) << text;
        EXPECT_EQ(Describe(Read(text, ReadMode::Lenient)), lenient ? lenient : strict) << text;
    }
    const std::pair<const char*, const char*> messages[] = {
        {cases[0][0],
         "Line 2, column 1: Statement 'Composite' gives a value to a unit that already has one (is "
         "an End missing before it?)."},
        {cases[3][0],
         "Line 3, column 3: The input ends inside the unit that begins here (is an End missing?)."},
        {"Property(\"a\").End()", "Line 1, column 1: ZAPH: Null units are forbidden."},
        {"Nil().End()\nByte(256).End()",
         "Line 2, column 1: '256' is out of the range of Byte (0 to 255)."},
        {"SQWord(-9223372036854775809).End()",
         "Line 1, column 1: '-9223372036854775809' is out of the range of SQWord "
         "(-9223372036854775808 to 9223372036854775807)."},
    };
    for (const auto& [text, message] : messages) {
        const Common::Error error = Read(text, ReadMode::Strict).error;
        EXPECT_EQ(Common::ToUtf8(error.Message()), message);
        // Apart from the faults of strict mode itself, the error as raised is the reason.
        if (error.Code() != 4 && error.Code() != 12) {
            EXPECT_EQ(error.Reason().Code(), error.Code());
            EXPECT_EQ(Common::ToUtf8(error.Reason().Message()),
                      std::string(message).substr(std::string(message).find(": ") + 2));
        }
    }
}

TEST(UnitConstructionStrict, TheTraceIsTheSameInBothModesAndPositionsCountCharacters) {
    // Strict mode traces as lenient mode does (the reading tests pin the lenient trace).
    std::ostringstream trace;
    Zaph::Util::UnitAccumulator accumulator(DefaultUnitFactory());
    UnitConstructionParser::Interpret(
        ".Composite().Property(\"n\").SDWord(-5).End().Property('b').Byte(7).End().End()",
        accumulator, &trace, {}, ReadMode::Strict);
    EXPECT_NE(accumulator.TakeResult(), nullptr);
    EXPECT_EQ(trace.str(),
              "Interpret trace: .Composite().Property(\"n\").SDword(-5).End().Property(\"b\")"
              ".Byte('undefined').End().End()\n");
    // text, offset, line, column
    const std::tuple<const char*, size_t, size_t, size_t> positions[] = {
        {"", 0, 1, 1},       {"abc", 2, 1, 3},       {"a\nb", 2, 2, 1},
        {"a\r\nb", 3, 2, 1}, {"\xC3\xA9x", 2, 1, 2}, {"\xFF\xFFx", 2, 1, 3},
        {"ab", 10, 1, 3},    {"\xE2\x82", 2, 1, 3},  {"\n\n\n", 3, 4, 1}};
    for (const auto& [text, offset, line, column] : positions) {
        const auto position = UnitConstructionParser::LocateInText(text, offset);
        EXPECT_EQ(position.line, line) << text;
        EXPECT_EQ(position.column, column) << text;
    }
}

}  // namespace
