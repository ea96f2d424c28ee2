#include "enterprise/common/zaph/parser/unit_construction_parser.h"

#include <charconv>
#include <map>
#include <type_traits>

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

// The length of the UTF-8 sequence that `lead` begins; 0 when it begins none.
size_t SequenceLength(uint8_t lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads an unsigned number: decimal, or hexadecimal with a "0x" prefix or an "h" suffix. False
// on any other character, on no digits at all and past 2^64 - 1.
bool ParseUnsigned(std::string_view text, uint64_t& value) {
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
        const int digit = DigitValue(c);
        if (digit < 0 || digit >= base) {
            return false;
        }
        if (__builtin_mul_overflow(result, static_cast<uint64_t>(base), &result) ||
            __builtin_add_overflow(result, static_cast<uint64_t>(digit), &result)) {
            return false;
        }
    }
    value = result;
    return true;
}

// A number word: empty is 0, a leading "-" negates at the end. False when the rest is no number.
bool ParseNumberWord(std::string_view word, uint64_t& value) {
    const bool negative = !word.empty() && word.front() == '-';
    if (negative) {
        word.remove_prefix(1);
    }
    uint64_t magnitude = 0;
    if (!word.empty() || negative) {
        if (!ParseUnsigned(word, magnitude)) {
            return false;
        }
    }
    value = negative ? 0 - magnitude : magnitude;
    return true;
}

void WriteTrace(std::ostream& trace, std::string_view text) {
    trace << text;
    trace.flush();
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
    std::ostream& trace;
};

using Handler = void (*)(Context&);

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
    context.trace << '.' << statement << "(\"" << text << "\")";
    context.trace.flush();
    return text;
}

void Property(Context& context) {
    const std::string_view name = QuotedStatement(context, "Property");
    context.builder.Property(Zaph::Name(Common::ToUtf8(DecodeText(name))));
}

void Trait(Context& context) {
    const std::string_view name = QuotedStatement(context, "Trait");
    context.builder.Trait(Zaph::Name(Common::ToUtf8(DecodeText(name))));
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

// The eight integer statements: T is the width of the value, Call the builder event.
template <class T>
T TakeInteger(ArgumentStream& arguments) {
    if constexpr (std::is_signed_v<T>) {
        return static_cast<T>(arguments.TakeSQwordValue());
    } else {
        return static_cast<T>(arguments.TakeQwordValue());
    }
}

// Byte, SByte, Word, SWord: a fixed trace text.
template <class T, void (UnitBuilder::*Event)(T)>
void SmallInteger(Context& context, std::string_view trace) {
    const T value = TakeInteger<T>(context.arguments);
    WriteTrace(context.trace, trace);
    (context.builder.*Event)(value);
}

// DWord, SDWord, QWord, SQWord: the trace shows the value received, under `givenName` when the
// argument is present and `absentName` with 0 when it is not.
template <class T, void (UnitBuilder::*Event)(T)>
void LargeInteger(Context& context, std::string_view givenName, std::string_view absentName) {
    const bool given = context.arguments.HasArgument();
    const T value = TakeInteger<T>(context.arguments);
    context.trace << '.' << (given ? givenName : absentName) << '(';
    WriteDecimal(context.trace, value);
    context.trace << ')';
    context.trace.flush();
    (context.builder.*Event)(value);
}

const std::map<std::string_view, Handler>& StatementTable() {
    static const std::map<std::string_view, Handler> table = {
        {"Composite", &Composite},
        {"Property", &Property},
        {"Trait", &Trait},
        {"Guid", &Guid},
        {"String", &String},
        {"End", &End},
        {"Nil", &Nil},
        {"Boolean", &Boolean},
        {"Array", &Array},
        {"DWord",
         [](Context& c) { LargeInteger<uint32_t, &UnitBuilder::DWord>(c, "Dword", "DWord"); }},
        {"SDWord",
         [](Context& c) { LargeInteger<int32_t, &UnitBuilder::SDWord>(c, "SDword", "SDWord"); }},
        {"QWord",
         [](Context& c) { LargeInteger<uint64_t, &UnitBuilder::QWord>(c, "QWord", "QWord"); }},
        {"SQWord",
         [](Context& c) { LargeInteger<int64_t, &UnitBuilder::SQWord>(c, "SQWord", "SQWord"); }},
        {"SWord",
         [](Context& c) { SmallInteger<int16_t, &UnitBuilder::SWord>(c, ".SWord('undefined')"); }},
        {"Word",
         [](Context& c) { SmallInteger<uint16_t, &UnitBuilder::Word>(c, ".Word('undefined')"); }},
        {"SByte",
         [](Context& c) { SmallInteger<int8_t, &UnitBuilder::SByte>(c, ".SByte('undefined')"); }},
        {"Byte",
         [](Context& c) { SmallInteger<uint8_t, &UnitBuilder::Byte>(c, ".Byte('undefined')"); }},
    };
    return table;
}

Handler GetStatement(std::string_view name) {
    const auto& table = StatementTable();
    const auto found = table.find(name);
    if (found == table.end()) {
        throw MakeError(COMMON_PLACE("UnitConstructionParser::StatementStream::GetStatement"),
                        kUnknownStatement, Common::kMsgParserUnknownStatement, name);
    }
    return found->second;
}

}  // namespace

std::u16string DecodeText(std::string_view bytes) {
    std::u16string out;
    if (Common::Utf8ToUtf16(bytes, out)) {
        return out;
    }
    out.clear();
    size_t position = 0;
    while (position < bytes.size()) {
        const uint8_t lead = static_cast<uint8_t>(bytes[position]);
        const size_t length = SequenceLength(lead);
        if (length != 0 && position + length <= bytes.size()) {
            std::u16string decoded;
            if (Common::Utf8ToUtf16(bytes.substr(position, length), decoded)) {
                out += decoded;
                position += length;
                continue;
            }
        }
        out.push_back(static_cast<char16_t>(lead));
        ++position;
    }
    return out;
}

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
    const size_t found = text_.find_first_of(stops, position_);
    if (found == std::string_view::npos) {
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

uint64_t ArgumentStream::TakeQwordValue() {
    const std::string_view word = TakeWord();
    uint64_t value = 0;
    if (!ParseNumberWord(word, value)) {
        const std::string_view shown = word.substr(!word.empty() && word.front() == '-' ? 1 : 0);
        throw MakeError(COMMON_PLACE("UnitConstructionParser::ArgumentStream::TakeQwordValue"),
                        kBadQword, Common::kMsgParserBadQword, shown);
    }
    return value;
}

int64_t ArgumentStream::TakeSQwordValue() {
    const std::string_view word = TakeWord();
    uint64_t value = 0;
    if (!ParseNumberWord(word, value)) {
        throw MakeError(COMMON_PLACE("UnitConstructionParser::ArgumentStream::TakeSQwordValue"),
                        kBadSqword, Common::kMsgParserBadSqword, word);
    }
    return static_cast<int64_t>(value);
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
    if (tokens_.GetInput() == '.') {
        tokens_.Step();
    }
    const Handler handler = GetStatement(tokens_.GetNext("("));
    tokens_.Step();
    ArgumentStream arguments(tokens_);
    Context context{arguments, builder_, trace_};
    handler(context);
    tokens_.Step();  // the closing ")", whatever stands there
}

void Interpret(std::string_view text, UnitBuilder& builder, std::ostream& trace,
               const std::function<void()>& afterStatement) {
    WriteTrace(trace, Common::ToUtf8(Common::GetCatalogMessage(Common::kMsgParserTrace)));
    TokenStream tokens(text);
    StatementStream statements(tokens, builder, trace);
    tokens.SkipWhiteSpace();
    while (!tokens.AtEnd()) {
        statements.ReadStatement();
        if (afterStatement) {
            afterStatement();
        }
        tokens.SkipWhiteSpace();
    }
    trace << '\n';
    trace.flush();
}

}  // namespace UnitConstructionParser
