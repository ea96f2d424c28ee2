#include "enterprise/common/zaph/parser/unit_construction_parser.h"

#include <charconv>
#include <limits>
#include <type_traits>
#include <unordered_map>

#include "core/common/catalog.h"
#include "core/common/error/error.h"
#include "core/common/message_format.h"
#include "core/common/text.h"

namespace UnitConstructionParser {
namespace {

using Zaph::Util::UnitBuilder;

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\r' || c == '\n' || c == '\t';
}

bool IsWordCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
           c == '-';
}

Common::Error MakeError(const Common::SourceLocation& place, uint32_t code, uint32_t messageId,
                        std::string_view argument) {
    return Common::Error(
        place, code,
        Common::FormatCatalogMessage(Common::GetCatalogMessage(messageId), {DecodeText(argument)}));
}

// Reads an unsigned number: decimal, or hexadecimal with a "0x" prefix or an "h" suffix. False
// on any other character, on no digits at all and past 2^64 - 1.
bool ParseUnsigned(std::string_view text, uint64_t& value, bool& hexadecimal) {
    int base = 10;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (!text.empty() && (text.back() == 'h' || text.back() == 'H')) {
        base = 16;
        text.remove_suffix(1);
    }
    if (text.empty()) {
        return false;
    }
    uint64_t result = 0;
    for (char c : text) {
        const int digit = Common::HexDigitValue(c);
        if (digit < 0 || digit >= base) {
            return false;
        }
        if (__builtin_mul_overflow(result, static_cast<uint64_t>(base), &result) ||
            __builtin_add_overflow(result, static_cast<uint64_t>(digit), &result)) {
            return false;
        }
    }
    value = result;
    hexadecimal = base == 16;
    return true;
}

// A number word: empty is 0, a leading "-" negates. False when the rest is no number.
bool ParseNumberWord(std::string_view word, NumberArgument& number) {
    number.word = word;
    number.negative = !word.empty() && word.front() == '-';
    if (number.negative) {
        word.remove_prefix(1);
    }
    number.magnitude = 0;
    number.hexadecimal = false;
    if (!word.empty() || number.negative) {
        return ParseUnsigned(word, number.magnitude, number.hexadecimal);
    }
    return true;
}

// Writes `text` to the trace, when there is one.
void WriteTrace(std::ostream* trace, std::string_view text) {
    if (trace != nullptr) {
        *trace << text;
        trace->flush();
    }
}

template <class T>
void WriteDecimal(std::ostream& out, T value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.write(digits, result.ptr - digits);
}

// Everything a statement handler works with.
struct Context {
    ArgumentStream& arguments;
    UnitBuilder& builder;
    // Null when nobody wants the trace: then none is composed.
    std::ostream* trace;
    ReadMode mode;
};

using Handler = void (*)(Context&);

// What a statement does to the open items: gives a value (Array being the one that takes
// elements), opens an item, or closes one.
enum class StatementKind { Value, Array, Open, End };

struct Statement {
    Handler handler;
    StatementKind kind;
};

void Composite(Context& context) {
    WriteTrace(context.trace, ".Composite()");
    context.builder.Composite();
}

void Array(Context& context) {
    WriteTrace(context.trace, ".Array()");
    context.builder.Array();
}

void Nil(Context& context) {
    WriteTrace(context.trace, ".Nil()");
    context.builder.Nil();
}

void End(Context& context) {
    WriteTrace(context.trace, ".End()");
    context.builder.End();
}

// Property, Trait and String: the statement echoes its text between double quotes.
std::string_view QuotedStatement(Context& context, std::string_view statement) {
    const std::string_view text = context.arguments.TakeText();
    if (context.trace != nullptr) {
        *context.trace << '.' << statement << "(\"" << text << "\")";
        context.trace->flush();
    }
    return text;
}

// The name that a quoted text gives: its UTF-8 as decoded, which is the text itself when it is
// ASCII, as names nearly always are.
Zaph::Name NameOf(std::string_view quoted) {
    for (const char c : quoted) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return Zaph::Name(Common::ToUtf8(DecodeText(quoted)));
        }
    }
    return Zaph::Name(quoted);
}

void Property(Context& context) {
    context.builder.Property(NameOf(QuotedStatement(context, "Property")));
}

void Trait(Context& context) {
    context.builder.Trait(NameOf(QuotedStatement(context, "Trait")));
}

void String(Context& context) {
    const std::string_view text = QuotedStatement(context, "String");
    context.builder.String(DecodeText(text));
}

void Guid(Context& context) {
    const Common::Guid value = context.arguments.TakeGuid();
    WriteTrace(context.trace, ".Guid('undefined')");
    context.builder.Guid(value);
}

void Boolean(Context& context) {
    const bool value = context.arguments.TakeBoolean();
    WriteTrace(context.trace, ".Boolean('undefined')");
    context.builder.Boolean(value);
}

// True when `number` stands for a value of T under the strict rules (see the header).
template <class T>
bool InRange(const NumberArgument& number) {
    using Unsigned = std::make_unsigned_t<T>;
    constexpr uint64_t kMaximum = static_cast<uint64_t>(std::numeric_limits<T>::max());
    if (number.magnitude == 0) {
        return true;
    }
    if constexpr (std::is_unsigned_v<T>) {
        return !number.negative && number.magnitude <= kMaximum;
    } else {
        if (number.negative) {
            return number.magnitude <= kMaximum + 1;
        }
        if (number.hexadecimal) {
            return number.magnitude <= std::numeric_limits<Unsigned>::max();
        }
        return number.magnitude <= kMaximum;
    }
}

template <class T>
std::u16string DecimalText(T value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    return std::u16string(digits, result.ptr);
}

// The eight integer statements: T is the width of the value, `kind` the statement name. The
// lenient rule keeps the low bits of the 64-bit value; the strict one refuses what does not
// fit.
template <class T>
T TakeInteger(Context& context, std::string_view kind) {
    constexpr bool kSigned = std::is_signed_v<T>;
    if (context.mode == ReadMode::Lenient) {
        if constexpr (kSigned) {
            return static_cast<T>(context.arguments.TakeSQwordValue());
        } else {
            return static_cast<T>(context.arguments.TakeQwordValue());
        }
    }
    const NumberArgument number = context.arguments.TakeNumber(kSigned);
    if (!InRange<T>(number)) {
        const std::u16string word = DecodeText(number.word);
        const std::u16string kindText = DecodeText(kind);
        const std::u16string minimum = DecimalText(std::numeric_limits<T>::min());
        const std::u16string maximum = DecimalText(std::numeric_limits<T>::max());
        throw Common::Error(COMMON_PLACE("UnitConstructionParser::TakeInteger"),
                            kSigned ? kBadSqword : kBadQword,
                            Common::FormatCatalogMessage(
                                Common::GetCatalogMessage(Common::kMsgParserNumberOutOfRange),
                                {word, kindText, minimum, maximum}));
    }
    return static_cast<T>(number.Value());
}

// Byte, SByte, Word, SWord: a fixed trace text.
template <class T, void (UnitBuilder::*Event)(T)>
void SmallInteger(Context& context, std::string_view kind, std::string_view trace) {
    const T value = TakeInteger<T>(context, kind);
    WriteTrace(context.trace, trace);
    (context.builder.*Event)(value);
}

// DWord, SDWord, QWord, SQWord: the trace shows the value received, under `givenName` when the
// argument is present and `absentName` with 0 when it is not.
template <class T, void (UnitBuilder::*Event)(T)>
void LargeInteger(Context& context, std::string_view givenName, std::string_view absentName) {
    const bool given = context.arguments.HasArgument();
    const T value = TakeInteger<T>(context, absentName);
    if (context.trace != nullptr) {
        *context.trace << '.' << (given ? givenName : absentName) << '(';
        WriteDecimal(*context.trace, value);
        *context.trace << ')';
        context.trace->flush();
    }
    (context.builder.*Event)(value);
}

const std::unordered_map<std::string_view, Statement>& StatementTable() {
    static const std::unordered_map<std::string_view, Statement> table = {
        {"Composite", {&Composite, StatementKind::Value}},
        {"Property", {&Property, StatementKind::Open}},
        {"Trait", {&Trait, StatementKind::Open}},
        {"Guid", {&Guid, StatementKind::Value}},
        {"String", {&String, StatementKind::Value}},
        {"End", {&End, StatementKind::End}},
        {"Nil", {&Nil, StatementKind::Value}},
        {"Boolean", {&Boolean, StatementKind::Value}},
        {"Array", {&Array, StatementKind::Array}},
        {"DWord",
         {[](Context& c) { LargeInteger<uint32_t, &UnitBuilder::DWord>(c, "Dword", "DWord"); },
          StatementKind::Value}},
        {"SDWord",
         {[](Context& c) { LargeInteger<int32_t, &UnitBuilder::SDWord>(c, "SDword", "SDWord"); },
          StatementKind::Value}},
        {"QWord",
         {[](Context& c) { LargeInteger<uint64_t, &UnitBuilder::QWord>(c, "QWord", "QWord"); },
          StatementKind::Value}},
        {"SQWord",
         {[](Context& c) { LargeInteger<int64_t, &UnitBuilder::SQWord>(c, "SQWord", "SQWord"); },
          StatementKind::Value}},
        {"SWord",
         {[](Context& c) {
              SmallInteger<int16_t, &UnitBuilder::SWord>(c, "SWord", ".SWord('undefined')");
          },
          StatementKind::Value}},
        {"Word",
         {[](Context& c) {
              SmallInteger<uint16_t, &UnitBuilder::Word>(c, "Word", ".Word('undefined')");
          },
          StatementKind::Value}},
        {"SByte",
         {[](Context& c) {
              SmallInteger<int8_t, &UnitBuilder::SByte>(c, "SByte", ".SByte('undefined')");
          },
          StatementKind::Value}},
        {"Byte",
         {[](Context& c) {
              SmallInteger<uint8_t, &UnitBuilder::Byte>(c, "Byte", ".Byte('undefined')");
          },
          StatementKind::Value}},
    };
    return table;
}

const Statement& GetStatement(std::string_view name) {
    const auto& table = StatementTable();
    const auto found = table.find(name);
    if (found == table.end()) {
        throw MakeError(COMMON_PLACE("UnitConstructionParser::StatementStream::GetStatement"),
                        kUnknownStatement, Common::kMsgParserUnknownStatement, name);
    }
    return found->second;
}

// `message` prefixed with the line and column of `offset` in `text`.
std::u16string AtPosition(std::string_view text, size_t offset, std::u16string_view message) {
    const TextPosition position = LocateInText(text, offset);
    const std::u16string line = DecimalText(position.line);
    const std::u16string column = DecimalText(position.column);
    return Common::FormatCatalogMessage(Common::GetCatalogMessage(Common::kMsgParserAtPosition),
                                        {line, column, message});
}

}  // namespace

char TokenStream::GetInput() const {
    if (AtEnd()) {
        throw Common::Error(COMMON_PLACE("UnitConstructionParser::TokenStream::GetInput"),
                            kInputOver, Common::GetCatalogMessage(Common::kMsgParserInputOver));
    }
    return text_[position_];
}

void TokenStream::Step() {
    GetInput();
    ++position_;
}

void TokenStream::SkipWhiteSpace() {
    while (!AtEnd() && IsWhiteSpace(text_[position_])) {
        ++position_;
    }
}

std::string_view TokenStream::GetNext(std::string_view stops) {
    // One or two stops: compared in place, rather than searching the stops for every character.
    const char first = stops[0];
    const char second = stops.size() > 1 ? stops[1] : first;
    size_t found = position_;
    while (found < text_.size() && text_[found] != first && text_[found] != second) {
        ++found;
    }
    if (found >= text_.size()) {
        throw Common::Error(COMMON_PLACE("UnitConstructionParser::TokenStream::GetNext"),
                            kExpectedSymbol,
                            Common::GetCatalogMessage(Common::kMsgParserExpectedSymbol));
    }
    const std::string_view taken = text_.substr(position_, found - position_);
    position_ = found;
    return taken;
}

std::string_view TokenStream::GetWord() {
    size_t end = position_;
    while (end < text_.size() && IsWordCharacter(text_[end])) {
        ++end;
    }
    if (end >= text_.size()) {
        throw Common::Error(COMMON_PLACE("UnitConstructionParser::TokenStream::GetNext"),
                            kExpectedSymbol,
                            Common::GetCatalogMessage(Common::kMsgParserExpectedSymbol));
    }
    const std::string_view word = text_.substr(position_, end - position_);
    position_ = end;
    return word;
}

bool ArgumentStream::HasArgument() const {
    return tokens_.GetInput() != ')';
}

std::string_view ArgumentStream::TakeWord() {
    return HasArgument() ? tokens_.GetWord() : std::string_view();
}

std::string_view ArgumentStream::TakeText() {
    if (!HasArgument()) {
        return {};
    }
    tokens_.Step();  // the opening quote, whichever character it is
    const std::string_view text = tokens_.GetNext("\"'");
    tokens_.Step();
    return text;
}

NumberArgument ArgumentStream::TakeNumber(bool isSigned) {
    const std::string_view word = TakeWord();
    NumberArgument number;
    if (!ParseNumberWord(word, number)) {
        if (isSigned) {
            throw MakeError(COMMON_PLACE("UnitConstructionParser::ArgumentStream::TakeNumber"),
                            kBadSqword, Common::kMsgParserBadSqword, word);
        }
        const std::string_view shown = word.substr(number.negative ? 1 : 0);
        throw MakeError(COMMON_PLACE("UnitConstructionParser::ArgumentStream::TakeNumber"),
                        kBadQword, Common::kMsgParserBadQword, shown);
    }
    return number;
}

uint64_t ArgumentStream::TakeQwordValue() {
    const std::string_view word = TakeWord();
    NumberArgument number;
    if (!ParseNumberWord(word, number)) {
        const std::string_view shown = word.substr(number.negative ? 1 : 0);
        throw MakeError(COMMON_PLACE("UnitConstructionParser::ArgumentStream::TakeQwordValue"),
                        kBadQword, Common::kMsgParserBadQword, shown);
    }
    return number.Value();
}

int64_t ArgumentStream::TakeSQwordValue() {
    const std::string_view word = TakeWord();
    NumberArgument number;
    if (!ParseNumberWord(word, number)) {
        throw MakeError(COMMON_PLACE("UnitConstructionParser::ArgumentStream::TakeSQwordValue"),
                        kBadSqword, Common::kMsgParserBadSqword, word);
    }
    return static_cast<int64_t>(number.Value());
}

Common::Guid ArgumentStream::TakeGuid() {
    const std::string word(TakeWord());
    Common::Guid value;
    if (!word.empty() && !Common::GuidFromString(word.c_str(), value)) {
        throw MakeError(COMMON_PLACE("UnitConstructionParser::ArgumentStream::TakeGuid"), kBadGuid,
                        Common::kMsgParserBadGuid, word);
    }
    return value;
}

bool ArgumentStream::TakeBoolean() {
    const std::string_view word = TakeWord();
    return !word.empty() && word != "false";
}

void StatementStream::ReadStatement() {
    if (mode_ == ReadMode::Strict) {
        ReadStrictStatement();
        return;
    }
    if (tokens_.GetInput() == '.') {
        tokens_.Step();
    }
    const Statement& statement = GetStatement(tokens_.GetNext("("));
    tokens_.Step();
    ArgumentStream arguments(tokens_);
    Context context{arguments, builder_, trace_, mode_};
    statement.handler(context);
    tokens_.Step();  // the closing ")", whatever stands there
}

void StatementStream::ReadStrictStatement() {
    const size_t start = tokens_.Position();
    bool hasPosition = false;
    try {
        if (tokens_.GetInput() == '.') {
            tokens_.Step();
        }
        const std::string_view name = tokens_.GetNext("(");
        const Statement& statement = GetStatement(name);
        const bool givesValue =
            statement.kind == StatementKind::Value || statement.kind == StatementKind::Array;
        OpenItem& item = open_.back();
        if (givesValue && ((item.holdsUnit && !item.isArray) || builder_.HoldsUnit())) {
            hasPosition = true;
            throw Common::Error(
                COMMON_PLACE("UnitConstructionParser::StatementStream::ReadStrictStatement"),
                kValueOnFullUnit,
                AtPosition(tokens_.Text(), start,
                           Common::FormatCatalogMessage(
                               Common::GetCatalogMessage(Common::kMsgParserValueOnFullUnit),
                               {DecodeText(name)})));
        }
        tokens_.Step();
        ArgumentStream arguments(tokens_);
        Context context{arguments, builder_, trace_, mode_};
        statement.handler(context);
        if (tokens_.GetInput() != ')') {
            throw Common::Error(
                COMMON_PLACE("UnitConstructionParser::StatementStream::ReadStrictStatement"),
                kExpectedSymbol, Common::GetCatalogMessage(Common::kMsgParserExpectedSymbol));
        }
        tokens_.Step();
        // The builder took the statement: follow it.
        const OpenItem taken{true, statement.kind == StatementKind::Array};
        switch (statement.kind) {
            case StatementKind::Value:
            case StatementKind::Array:
                if (item.holdsUnit) {
                    open_.push_back(taken);  // an element of the array
                } else {
                    item = taken;
                    if (open_.size() == 1) {
                        rootStart_ = start;
                    }
                }
                break;
            case StatementKind::Open:
                open_.push_back(OpenItem{});
                break;
            case StatementKind::End:
                open_.pop_back();
                if (open_.empty()) {
                    open_.push_back(OpenItem{});
                }
                break;
        }
    } catch (const Common::Error& error) {
        if (hasPosition) {
            throw;
        }
        Common::Error positioned(
            COMMON_PLACE("UnitConstructionParser::StatementStream::ReadStrictStatement"),
            error.Code(), AtPosition(tokens_.Text(), start, error.Message()));
        throw positioned.Add(error);
    }
}

void StatementStream::Finish() const {
    if (mode_ == ReadMode::Strict && (open_.size() > 1 || open_.back().holdsUnit)) {
        throw Common::Error(COMMON_PLACE("UnitConstructionParser::StatementStream::Finish"),
                            kUnitNotClosed,
                            AtPosition(tokens_.Text(), rootStart_,
                                       Common::GetCatalogMessage(Common::kMsgParserUnitNotClosed)));
    }
}

void Interpret(std::string_view text, UnitBuilder& builder, std::ostream* trace,
               const std::function<void()>& afterStatement, ReadMode mode) {
    WriteTrace(trace, Common::ToUtf8(Common::GetCatalogMessage(Common::kMsgParserTrace)));
    TokenStream tokens(text);
    StatementStream statements(tokens, builder, trace, mode);
    tokens.SkipWhiteSpace();
    while (!tokens.AtEnd()) {
        statements.ReadStatement();
        if (afterStatement) {
            afterStatement();
        }
        tokens.SkipWhiteSpace();
    }
    statements.Finish();
    WriteTrace(trace, "\n");
}

}  // namespace UnitConstructionParser
