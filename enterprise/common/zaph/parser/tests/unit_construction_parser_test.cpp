// Reading the unit construction text format: what units texts become, the trace line, and the
// errors of bad texts.

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

namespace {

using Utils::BytesReader;

struct Outcome {
    std::string unit;  // the unit's printout; "none" for no unit, "error" after an error
    std::string trace;
    Common::Error error;
};

Outcome Read(std::string_view text) {
    std::ostringstream trace;
    Utils::UnitConstructionFormat format(trace);
    BytesReader reader(text);
    Outcome outcome;
    try {
        const Zaph::Construction::UnitPtr unit =
            format.Read(reader, Zaph::Construction::DefaultUnitFactory());
        outcome.unit = unit ? Zaph::Util::TraceUnitToString(*unit, "", false) : "none";
    } catch (const Common::Error& error) {
        outcome.unit = "error";
        outcome.error = error;
    }
    outcome.trace = trace.str();
    return outcome;
}

std::string Message(const Common::Error& error) {
    return Common::ToUtf8(error.Message());
}

TEST(UnitConstructionRead, TheTypePatternReadsAndEchoesItsStatements) {
    const Outcome outcome = Read(R"(.Composite().Trait("Is").String("Machine").End().End())");
    EXPECT_EQ(outcome.unit, "Root (Composite)  [Is (Common::String) = Machine]");
    EXPECT_EQ(outcome.trace,
              "Interpret trace: .Composite().Trait(\"Is\").String(\"Machine\").End().End()\n");
}

TEST(UnitConstructionRead, DotsAndWhiteSpaceBetweenStatementsAreOptional) {
    EXPECT_EQ(Read("Composite()End()").unit, "Root (Composite)");
    const Outcome spaced = Read(" \t.Composite()\r\n  Property(\"a\") .Nil()\n.End() End()\n");
    EXPECT_EQ(spaced.unit, "Root (Composite)  a (NIL)");
    EXPECT_EQ(spaced.trace, "Interpret trace: .Composite().Property(\"a\").Nil().End().End()\n");
}

TEST(UnitConstructionRead, TextsWithoutAClosedRootGiveNoUnit) {
    for (const char* text :
         {"", " \r\n\t ", ".Composite()", ".Composite().Property(\"a\").Nil()"}) {
        const Outcome outcome = Read(text);
        EXPECT_EQ(outcome.unit, "none") << text;
        EXPECT_TRUE(outcome.error.IsEmpty()) << text;
    }
    EXPECT_EQ(Read("  \n").trace, "Interpret trace: \n");
    // The root closed last is the result; a later open root does not replace it.
    EXPECT_EQ(Read(".DWord(1).End().DWord(2).End().Composite()").unit, "Root (unsigned long) = 2");
}

TEST(UnitConstructionRead, ContainersNestAndPropertiesCanBeReopened) {
    EXPECT_EQ(Read(".Composite().Property(\"b\").DWord(2).End().Property(\"a\").Array()"
                   ".Nil().End().String('x').Trait('t').Boolean(yes).End().End().End().End()")
                  .unit,
              "Root (Composite)  a (Array)    0 (NIL)    1 (Common::String) = x      [t (bool) = 1]"
              "  b (unsigned long) = 2");
    // A property given twice keeps the later value.
    EXPECT_EQ(Read(".Composite().Property(\"a\").DWord(1).End().Property(\"a\").DWord(7).End()"
                   ".End()")
                  .unit,
              "Root (Composite)  a (unsigned long) = 7");
}

// Every integer statement: the value the unit receives (low bits kept) and the trace text.
TEST(UnitConstructionRead, NumbersAreCutToTheStatementWidth) {
    struct Case {
        const char* statement;
        const char* unit;
        const char* trace;
    };
    const Case cases[] = {
        {"Byte(300)", "Root (unsigned char) = 44", ".Byte('undefined')"},
        {"SByte(-1)", "Root (signed char) = -1", ".SByte('undefined')"},
        {"SByte(255)", "Root (signed char) = -1", ".SByte('undefined')"},
        {"Word(65537)", "Root (unsigned short) = 1", ".Word('undefined')"},
        {"SWord(0x8000)", "Root (short) = -32768", ".SWord('undefined')"},
        {"DWord(0x10)", "Root (unsigned long) = 16", ".Dword(16)"},
        {"DWord(10h)", "Root (unsigned long) = 16", ".Dword(16)"},
        {"DWord(0XfF)", "Root (unsigned long) = 255", ".Dword(255)"},
        {"DWord(aBH)", "Root (unsigned long) = 171", ".Dword(171)"},
        {"DWord(4294967296)", "Root (unsigned long) = 0", ".Dword(0)"},
        {"DWord()", "Root (unsigned long) = 0", ".DWord(0)"},
        {"SDWord(-5)", "Root (long) = -5", ".SDword(-5)"},
        {"SDWord(4294967295)", "Root (long) = -1", ".SDword(-1)"},
        {"SDWord()", "Root (long) = 0", ".SDWord(0)"},
        {"QWord(18446744073709551615)", "Root (unsigned __int64) = 18446744073709551615",
         ".QWord(18446744073709551615)"},
        {"QWord(-1)", "Root (unsigned __int64) = 18446744073709551615",
         ".QWord(18446744073709551615)"},
        {"QWord()", "Root (unsigned __int64) = 0", ".QWord(0)"},
        {"SQWord(-9223372036854775808)", "Root (__int64) = -9223372036854775808",
         ".SQWord(-9223372036854775808)"},
        {"SQWord(-0x10)", "Root (__int64) = -16", ".SQWord(-16)"},
        {"SQWord()", "Root (__int64) = 0", ".SQWord(0)"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = Read(std::string(c.statement) + ".End()");
        EXPECT_EQ(outcome.unit, c.unit) << c.statement;
        EXPECT_EQ(outcome.trace, std::string("Interpret trace: ") + c.trace + ".End()\n")
            << c.statement;
    }
}

TEST(UnitConstructionRead, BadNumbersNameTheWord) {
    struct Case {
        const char* statement;
        uint32_t code;
        const char* message;
    };
    const Case cases[] = {
        {"DWord(1x0)", 3, "Cannot convert '1x0' to qword."},
        {"QWord(18446744073709551616)", 3, "Cannot convert '18446744073709551616' to qword."},
        {"Byte(-)", 3, "Cannot convert '' to qword."},
        {"Word(-1g)", 3, "Cannot convert '1g' to qword."},
        {"DWord(h)", 3, "Cannot convert 'h' to qword."},
        {"DWord(0x)", 3, "Cannot convert '0x' to qword."},
        {"DWord(0x10h)", 3, "Cannot convert '0x10h' to qword."},
        {"SDWord(-x)", 8, "Cannot convert '-x' to sqword."},
        {"SByte(--1)", 8, "Cannot convert '--1' to sqword."},
        {"SQWord(99999999999999999999)", 8, "Cannot convert '99999999999999999999' to sqword."},
    };
    for (const Case& c : cases) {
        const Outcome outcome = Read(std::string(c.statement) + ".End()");
        EXPECT_EQ(outcome.error.Code(), c.code) << c.statement;
        EXPECT_EQ(Message(outcome.error), c.message) << c.statement;
        // The failed statement leaves nothing in the trace.
        EXPECT_EQ(outcome.trace, "Interpret trace: ") << c.statement;
    }
    EXPECT_STREQ(Read("DWord(z)").error.Place().function,
                 "UnitConstructionParser::ArgumentStream::TakeQwordValue");
    EXPECT_STREQ(Read("SDWord(z)").error.Place().function,
                 "UnitConstructionParser::ArgumentStream::TakeSQwordValue");
}

TEST(UnitConstructionRead, BooleansAreTrueForAnyWordButFalse) {
    EXPECT_EQ(Read("Boolean().End()").unit, "Root (bool) = 0");
    EXPECT_EQ(Read("Boolean(false).End()").unit, "Root (bool) = 0");
    EXPECT_EQ(Read("Boolean(0).End()").unit, "Root (bool) = 1");
    EXPECT_EQ(Read("Boolean(False).End()").unit, "Root (bool) = 1");
    EXPECT_EQ(Read("Boolean(true).End()").trace, "Interpret trace: .Boolean('undefined').End()\n");
}

TEST(UnitConstructionRead, EitherQuoteClosesAText) {
    EXPECT_EQ(Read("String('ab\").End()").unit, "Root (Common::String) = ab");
    EXPECT_EQ(Read("String().End()").unit, "Root (Common::String) = ");
    EXPECT_EQ(Read("String(\"\").End()").unit, "Root (Common::String) = ");
    // Any character opens a text.
    EXPECT_EQ(Read("String(xab').End()").unit, "Root (Common::String) = ab");
    // An apostrophe text holding a double quote ends there; the rest is taken as statements.
    const Outcome early = Read("String('it\"s').End()");
    EXPECT_EQ(early.error.Code(), 6u);
    EXPECT_EQ(Message(early.error), "Statement '').End' is unknown.");
    EXPECT_EQ(early.trace, "Interpret trace: .String(\"it\")");
    const Outcome open = Read("String(\"abc");
    EXPECT_EQ(open.error.Code(), 2u);
    EXPECT_STREQ(open.error.Place().function, "UnitConstructionParser::TokenStream::GetNext");
}

TEST(UnitConstructionRead, GuidsTakeTheTextFormWithoutBraces) {
    EXPECT_EQ(Read("Guid(01234567-89ab-CDEF-0123-456789ABCDEF).End()").unit,
              "Root (Common::Guid) = 01234567-89AB-CDEF-0123-456789ABCDEF");
    EXPECT_EQ(Read("Guid().End()").unit,
              "Root (Common::Guid) = 00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(Read("Guid().End()").trace, "Interpret trace: .Guid('undefined').End()\n");
    const Outcome bad = Read("Guid(1234-5678).End()");
    EXPECT_EQ(bad.error.Code(), 7u);
    EXPECT_EQ(Message(bad.error), "Cannot convert '1234-5678' to Common::Guid.");
    // The brace ends the (empty) word; what follows cannot be a statement.
    const Outcome braced = Read("Guid({01234567-89AB-CDEF-0123-456789ABCDEF}).End()");
    EXPECT_EQ(braced.error.Code(), 6u);
    EXPECT_EQ(braced.trace, "Interpret trace: .Guid('undefined')");
}

TEST(UnitConstructionRead, ABlankInsideParenthesesStandsForTheClosingOne) {
    const Outcome number = Read("DWord(5 ).End()");
    EXPECT_EQ(number.error.Code(), 6u);
    EXPECT_EQ(Message(number.error), "Statement ').End' is unknown.");
    EXPECT_EQ(Read("Nil( )").error.Code(), 2u);
}

TEST(UnitConstructionRead, TheEndOfTheTextInsideAStatementIsAnError) {
    struct Case {
        const char* text;
        uint32_t code;
    };
    const Case cases[] = {
        {"Nil(", 1}, {"Composite()End(", 1}, {"DWord(", 1},       {"DWord(5", 2}, {"Composite", 2},
        {".", 2},    {"String(", 1},         {"String(\"a\"", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Read(c.text).error.Code(), c.code) << c.text;
    }
    const Outcome over = Read("Nil(");
    EXPECT_EQ(Message(over.error), "Input is over!");
    EXPECT_STREQ(over.error.Place().function, "UnitConstructionParser::TokenStream::GetInput");
    EXPECT_EQ(over.trace, "Interpret trace: .Nil()");
}

TEST(UnitConstructionRead, OnlyTheSeventeenStatementsAreKnown) {
    for (const char* name : {"Composite", "Array"}) {
        EXPECT_TRUE(Read(std::string(name) + "().End()").error.IsEmpty()) << name;
    }
    for (const char* name : {"Nil", "Boolean", "Byte", "SByte", "Word", "SWord", "DWord", "SDWord",
                             "QWord", "SQWord", "Guid", "String"}) {
        EXPECT_TRUE(Read(std::string(name) + "().End()").error.IsEmpty()) << name;
    }
    EXPECT_TRUE(
        Read("Composite().Property('a').Nil().End().Trait('b').Nil().End().End()").error.IsEmpty());
    for (const char* name : {"Double", "Blob", "Error", "composite", "DWORD", "N il", "Nil "}) {
        const Outcome outcome = Read(std::string(name) + "(1).End()");
        EXPECT_EQ(outcome.error.Code(), 6u) << name;
        EXPECT_EQ(Message(outcome.error), std::string("Statement '") + name + "' is unknown.");
    }
    const Outcome late = Read(".Composite().Trait(\"Is\").Double(1)");
    EXPECT_EQ(late.trace, "Interpret trace: .Composite().Trait(\"Is\")");
    EXPECT_STREQ(late.error.Place().function,
                 "UnitConstructionParser::StatementStream::GetStatement");
}

TEST(UnitConstructionRead, BuilderErrorsPassThrough) {
    EXPECT_EQ(Read("Trait('x').Nil().End().End()").error.Code(), Zaph::Errors::kNullUnit);
    EXPECT_EQ(Read("Property('x').Nil().End().End()").error.Code(), Zaph::Errors::kNullUnit);
    EXPECT_EQ(Read("Composite().Trait('a').End().End()").error.Code(), Zaph::Errors::kNullUnit);
    EXPECT_EQ(Read("DWord(1).Property('a')").error.Code(), Zaph::Errors::kTypeMismatch);
    EXPECT_EQ(Read("End()").error.Code(), Zaph::Errors::kNullUnit);
}

TEST(UnitConstructionRead, NestingPastTheLimitIsRefused) {
    std::string deep;
    for (uint32_t level = 0; level < Zaph::kMaxUnitDepth + 10; ++level) {
        deep += "Array()";
    }
    EXPECT_EQ(Read(deep).error.Code(), Zaph::Errors::kUnitTooDeep);
    std::string fits;
    for (int level = 0; level < 100; ++level) {
        fits += "Array()";
    }
    for (int level = 0; level < 100; ++level) {
        fits += "End()";
    }
    EXPECT_TRUE(Read(fits).error.IsEmpty());
}

TEST(UnitConstructionRead, TextsAreDecodedAsUtf8AndEchoedAsRead) {
    const Outcome utf8 = Read(
        "Composite().Property(\"Gr\xC3\xB6\xC3\x9F"
        "e\")"
        ".String(\"M\xC3\xBCller\").End().End()");
    EXPECT_EQ(utf8.unit,
              "Root (Composite)  Gr\xC3\xB6\xC3\x9F"
              "e (Common::String) = M\xC3\xBCller");
    EXPECT_EQ(utf8.trace,
              "Interpret trace: .Composite().Property(\"Gr\xC3\xB6\xC3\x9F"
              "e\")"
              ".String(\"M\xC3\xBCller\").End().End()\n");

    // Bytes that are not UTF-8 are taken one byte per character, and echoed unchanged.
    std::ostringstream trace;
    Utils::UnitConstructionFormat format(trace);
    BytesReader reader("String(\"a\xFF\xC3\").Trait(\"\xE9\").Nil().End().End()");
    const Zaph::Construction::UnitPtr unit =
        format.Read(reader, Zaph::Construction::DefaultUnitFactory());
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(Zaph::Util::TraceUnitToString(*unit, "", false),
              "Root (Common::String) = a\xC3\xBF\xC3\x83  [\xC3\xA9 (NIL)]");
    EXPECT_EQ(trace.str(),
              "Interpret trace: .String(\"a\xFF\xC3\").Trait(\"\xE9\").Nil().End().End()\n");

    EXPECT_EQ(UnitConstructionParser::DecodeText("M\xC3\xBCller"), u"M\u00FCller");
    EXPECT_EQ(UnitConstructionParser::DecodeText("\xE2\x82"), u"\u00E2\u0082");
    EXPECT_EQ(UnitConstructionParser::DecodeText("\xC0\x80x\xF0\x9F\x98\x80"),
              u"\u00C0\u0080x\U0001F600");
}

TEST(UnitConstructionRead, TheDefaultTraceIsStandardOutput) {
    Utils::UnitConstructionFormat format;
    BytesReader reader("Nil().End()");
    testing::internal::CaptureStdout();
    const Zaph::Construction::UnitPtr unit =
        format.Read(reader, Zaph::Construction::DefaultUnitFactory());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Interpret trace: .Nil().End()\n");
    EXPECT_NE(unit, nullptr);
}

TEST(UnitConstructionReadEach, HandsOverEveryClosedRootInOrderWithoutTrace) {
    BytesReader reader(
        "Nil().End() DWord(1).End()\nComposite().Property('a').Nil().End().End()"
        " Composite()");
    std::vector<std::string> units;
    testing::internal::CaptureStdout();
    const size_t count = Utils::UnitConstructionFormat::ReadEach(
        reader, Zaph::Construction::DefaultUnitFactory(), [&](Zaph::Construction::UnitPtr unit) {
            units.push_back(Zaph::Util::TraceUnitToString(*unit, "", false));
        });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(units, (std::vector<std::string>{"Root (NIL)", "Root (unsigned long) = 1",
                                               "Root (Composite)  a (NIL)"}));
}

TEST(UnitConstructionReadEach, AnErrorEndsTheReadingAfterTheUnitsDelivered) {
    BytesReader reader("Nil().End() Double(1).End() Nil().End()");
    int delivered = 0;
    try {
        Utils::UnitConstructionFormat::ReadEach(reader, Zaph::Construction::DefaultUnitFactory(),
                                                [&](Zaph::Construction::UnitPtr) { ++delivered; });
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), 6u);
    }
    EXPECT_EQ(delivered, 1);

    BytesReader refused("Nil().End() Nil().End()");
    const Common::Error stop(COMMON_PLACE("UnitConstructionReadEach"), 0x77);
    try {
        Utils::UnitConstructionFormat::ReadEach(refused, Zaph::Construction::DefaultUnitFactory(),
                                                [&](Zaph::Construction::UnitPtr) { throw stop; });
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), 0x77u);
    }
}

}  // namespace
