// The reader of the unit construction text format: a chain of method-call-like statements that
// drive a unit builder (enterprise/common/zaph/unit_builder.h) step by step.
//
//   .Composite().Trait("Is").String("Machine").End().End()
//
// Statements: Composite, Array, Nil and End take no argument; Property, Trait and String take a
// quoted text; Guid, Boolean and the eight integer kinds take a word. The dot before a name is
// optional, white space (blank, CR, LF, tab) may stand only between statements, and every unit,
// the root included, is closed by its own End. There are no Double, Blob or Error statements.
//
// Arguments. An argument is absent when ")" follows "(" at once.
//   - Word: the longest run of 0-9 a-z A-Z _ -; absent gives the empty word.
//   - Quoted text: any one character opens it, the first ' or " closes it (no escapes).
//   - Numbers: a word, decimal, or hexadecimal with a "0x" prefix or an "h" suffix; a leading
//     "-" negates in 64-bit two's complement; the value is cut to the statement's width by
//     keeping its low bits (Byte(300) is 44). An empty word is 0.
//   - Boolean: false for an absent argument or the word "false", true for any other word.
//   - Guid: the text form XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX (core/common/guid.h), without
//     braces; an absent argument is the all-zero GUID.
// After a statement's argument the next character is stepped over whatever it is: a blank
// inside the parentheses takes the place of ")", which then starts the next statement name.
//
// Text. The parser works on the input bytes; every syntax character is ASCII and UTF-8 puts no
// ASCII byte inside a multi-byte sequence. Quoted texts are decoded by DecodeText (UTF-8, with
// bytes that are not valid UTF-8 taken one byte per character), so "Müller" arrives as written.
// Property and trait names reach the builder as the UTF-8 of the decoded text.
//
// Trace. Interpret writes "Interpret trace: " and then one fixed text per statement (below) to
// the trace stream, flushing after each, and a line end when the text is over. Names and texts
// are echoed as the bytes they were read from. After an error the trace stops where it was,
// without its line end.
//   .Composite() .Array() .Nil() .End()  .Property("n") .Trait("n") .String("t")
//   .Guid('undefined') .Boolean('undefined') .Byte('undefined') .SByte('undefined')
//   .Word('undefined') .SWord('undefined')
//   .Dword(v) .SDword(v) .QWord(v) .SQWord(v) with the value the unit receives, or
//   .DWord(0) .SDWord(0) .QWord(0) .SQWord(0) when the argument is absent
//
// Reading modes. Lenient, the default, is all of the above: query and pattern texts rely on it
// (DWord(-1) is 0xFFFFFFFF there). Strict serves texts that must hold exactly a sequence of
// complete root units, such as objects to be stored; white space may stand between them. On top
// of the lenient rules it refuses:
//   - a value statement (Composite, Array and the scalars) for an item that already has a unit,
//     unless that unit is an array, where a value opens an element: code 4. A root or property
//     whose End is missing would otherwise take the next unit's statements into itself. A
//     property named again in its composite is such an item when the builder says so
//     (UnitBuilder::HoldsUnit): its value statement would overwrite the first value, though
//     properties may still be added to a composite and elements to an array named again;
//   - a text that ends inside a unit (an open root, property, trait or element): code 12;
//   - a number outside the range of its statement's kind: code 3 for Byte, Word, DWord and
//     QWord, 8 for SByte, SWord, SDWord and SQWord, with the text "'<word>' is out of the range
//     of <kind> (<min> to <max>)." A decimal number is taken at its value: "-0" is 0 for every
//     kind, any other negative number is out of range for an unsigned kind. A hexadecimal
//     number of a signed kind without "-" is the two's-complement bit pattern of the kind's
//     width and must fit that width: SByte(0xFF) is -1, SByte(0x100) is refused, SByte(-0x80)
//     is -128 and SByte(-0x81) is refused;
//   - a statement whose argument is not followed by ")": code 2.
// Every error raised while reading a statement in strict mode (of the text, the builder or the
// factory) carries the line and column where the statement begins, both counted from 1, the
// column in characters: its head record keeps the code and says
// "Line <l>, column <c>: <text>", its reason is the error as raised (except codes 4 and 12,
// which are raised with their position at once). Code 12 names the beginning of the root unit
// left open. The trace, when there is one, is the same as in lenient mode.
//
// Errors (Common::Error, codes without a facility; builder and factory errors pass unchanged,
// nesting deeper than Zaph::kMaxUnitDepth raises Zaph::Errors::kUnitTooDeep):
//   1 "Input is over!"                         a character is needed past the end of the text
//   2 "Expected symbol is not found!"          no "(" after a name; a word or quoted text that
//                                               runs to the end of the text; in strict mode no
//                                               ")" after an argument
//   3 "Cannot convert '<word>' to qword."      bad unsigned number (the word less its "-"); in
//                                               strict mode also the out-of-range text above
//   4 "Statement '<name>' gives a value to a unit that already has one (is an End missing
//     before it?)."                            strict mode only
//   6 "Statement '<name>' is unknown."         a name outside the statement table
//   7 "Cannot convert '<word>' to Common::Guid."
//   8 "Cannot convert '<word>' to sqword."     bad signed number; in strict mode also the
//                                               out-of-range text above
//  12 "The input ends inside the unit that begins here (is an End missing?)."
//                                              strict mode only
//
// Thread-safety: the statement table is built once, on first use, and only read afterwards. A
// stream belongs to one reading at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/guid.h"
#include "enterprise/common/zaph/unit_builder.h"

namespace UnitConstructionParser {

/// Error codes of the reader.
inline constexpr uint32_t kInputOver = 1;
inline constexpr uint32_t kExpectedSymbol = 2;
inline constexpr uint32_t kBadQword = 3;
inline constexpr uint32_t kValueOnFullUnit = 4;
inline constexpr uint32_t kUnknownStatement = 6;
inline constexpr uint32_t kBadGuid = 7;
inline constexpr uint32_t kBadSqword = 8;
inline constexpr uint32_t kUnitNotClosed = 12;

/// How strictly a text is read; see the file comment.
enum class ReadMode { Lenient, Strict };

/// A place in a text, both counted from 1.
struct TextPosition {
    size_t line = 1;
    /// In characters: a UTF-8 sequence counts once, a byte that begins none counts once.
    size_t column = 1;
};

/// The line and column of the byte at `offset` of `text` (its end when past it). Lines end at
/// LF.
[[nodiscard]] TextPosition LocateInText(std::string_view text, size_t offset);

/// Decodes `bytes` as UTF-8; a byte that does not begin a valid sequence becomes the character
/// of the same code (0x80 to 0xFF).
std::u16string DecodeText(std::string_view bytes);

/// A cursor over the bytes of a text.
class TokenStream {
  public:
    /// Reads `text`, which must outlive the stream.
    explicit TokenStream(std::string_view text) : text_(text) {}

    bool AtEnd() const { return position_ >= text_.size(); }
    /// The offset of the cursor in the text.
    size_t Position() const { return position_; }
    /// The text read.
    std::string_view Text() const { return text_; }
    /// The current character; raises kInputOver at the end.
    char GetInput() const;
    /// Steps over the current character; raises kInputOver at the end.
    void Step();
    /// Steps over blanks, CRs, LFs and tabs.
    void SkipWhiteSpace();
    /// The characters from here up to the first of `stops` (one or two characters), on which
    /// the cursor then stands; raises kExpectedSymbol when none of them follows.
    std::string_view GetNext(std::string_view stops);
    /// The longest run of word characters from here; raises kExpectedSymbol when it runs to the
    /// end of the text.
    std::string_view GetWord();

  private:
    std::string_view text_;
    size_t position_ = 0;
};

/// A number argument taken apart.
struct NumberArgument {
    /// The word as written.
    std::string_view word;
    /// The word began with "-".
    bool negative = false;
    /// The digits were hexadecimal ("0x" prefix or "h" suffix).
    bool hexadecimal = false;
    /// The value of the digits.
    uint64_t magnitude = 0;

    /// The 64-bit two's complement of the value, negated when `negative`.
    [[nodiscard]] uint64_t Value() const { return negative ? 0 - magnitude : magnitude; }
};

/// The argument of the current statement.
class ArgumentStream {
  public:
    explicit ArgumentStream(TokenStream& tokens) : tokens_(tokens) {}

    /// True unless ")" stands at the cursor; raises kInputOver at the end.
    bool HasArgument() const;
    /// The word argument; empty when absent.
    std::string_view TakeWord();
    /// The bytes of the quoted text argument, quotes stepped over; empty when absent.
    std::string_view TakeText();
    /// The unsigned number argument as 64 bits; raises kBadQword.
    uint64_t TakeQwordValue();
    /// The signed number argument as 64 bits; raises kBadSqword.
    int64_t TakeSQwordValue();
    /// The number argument taken apart; raises kBadSqword when `isSigned`, else kBadQword.
    NumberArgument TakeNumber(bool isSigned);
    /// The GUID argument; raises kBadGuid.
    Common::Guid TakeGuid();
    /// The Boolean argument.
    bool TakeBoolean();

  private:
    TokenStream& tokens_;
};

/// Reads statements and runs them against a builder.
class StatementStream {
  public:
    /// All three must outlive the stream.
    StatementStream(TokenStream& tokens, Zaph::Util::UnitBuilder& builder, std::ostream* trace,
                    ReadMode mode = ReadMode::Lenient)
        : tokens_(tokens), builder_(builder), trace_(trace), mode_(mode) {}

    /// Reads one statement at the cursor, runs it and steps over the character after it.
    void ReadStatement();
    /// Called when the text is over: in strict mode raises kUnitNotClosed when a unit is still
    /// open; nothing in lenient mode.
    void Finish() const;

  private:
    // What strict mode knows of an open item: whether it has its unit yet, and whether that
    // unit is an array.
    struct OpenItem {
        bool holdsUnit = false;
        bool isArray = false;
    };

    void ReadStrictStatement();

    TokenStream& tokens_;
    Zaph::Util::UnitBuilder& builder_;
    std::ostream* trace_;
    ReadMode mode_;
    // Strict mode only: the open items, the root first, and where the open root unit began.
    std::vector<OpenItem> open_{OpenItem{}};
    size_t rootStart_ = 0;
};

/// Runs every statement of `text` against `builder`, writing the trace to `trace` (none when
/// null). `afterStatement`, when set, is called after each statement. `mode` is Lenient unless
/// said.
void Interpret(std::string_view text, Zaph::Util::UnitBuilder& builder, std::ostream* trace,
               const std::function<void()>& afterStatement = {}, ReadMode mode = ReadMode::Lenient);

}  // namespace UnitConstructionParser
