#include "enterprise/common/zaph/trace_unit.h"

#include <charconv>
#include <cstring>
#include <type_traits>

#include "core/common/guid.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/container_access.h"
#include "enterprise/common/zaph/nesting_guard.h"

namespace Zaph::Util {
namespace {

constexpr std::string_view kIndent = "  ";

// The C++ type names under which scalar values are shown.
template <class T>
constexpr std::string_view ScalarTypeName() {
    if constexpr (std::is_same_v<T, bool>) {
        return "bool";
    } else if constexpr (std::is_same_v<T, uint8_t>) {
        return "unsigned char";
    } else if constexpr (std::is_same_v<T, int8_t>) {
        return "signed char";
    } else if constexpr (std::is_same_v<T, uint16_t>) {
        return "unsigned short";
    } else if constexpr (std::is_same_v<T, int16_t>) {
        return "short";
    } else if constexpr (std::is_same_v<T, uint32_t>) {
        return "unsigned long";
    } else if constexpr (std::is_same_v<T, int32_t>) {
        return "long";
    } else if constexpr (std::is_same_v<T, uint64_t>) {
        return "unsigned __int64";
    } else if constexpr (std::is_same_v<T, int64_t>) {
        return "__int64";
    } else {
        static_assert(std::is_same_v<T, double>);
        return "double";
    }
}

// Numbers through to_chars: the C locale, and no locale look-up at all.
template <class T>
void WriteNumber(std::string& out, T value, int base = 10) {
    char digits[32];
    const auto result = std::to_chars(digits, digits + sizeof digits, value, base);
    out.append(digits, result.ptr - digits);
}

void WriteDouble(std::string& out, double value) {
    // The shortest form of "%g": six significant digits.
    char digits[32];
    const auto result =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 6);
    out.append(digits, result.ptr - digits);
}

template <class T>
void WriteScalar(std::string& out, T value) {
    if constexpr (std::is_same_v<T, bool>) {
        out += value ? '1' : '0';
    } else if constexpr (std::is_same_v<T, double>) {
        WriteDouble(out, value);
    } else {
        WriteNumber(out, value);
    }
}

void WriteWide(std::string& out, std::u16string_view text) {
    const size_t start = out.size();
    if (!Common::Utf16ToUtf8(text, out)) {
        out.resize(start);
        out += Common::NarrowLowBytes(text);
    }
}

// " Code = ..., LineTag = ..., Message = ..." of one error record.
void WriteErrorFields(std::string& out, const Common::Error& error) {
    out += " Code = ";
    WriteNumber(out, error.Code());
    out += " LineTag = ";
    WriteNumber(out, error.Place().tag, 16);
    const std::u16string message = error.Message();
    if (!message.empty()) {
        out += " Message = ";
        WriteWide(out, message);
    }
}

// Where and how a printer writes: lines begin with the caller's prefix, then two blanks per
// level of depth.
struct Layout {
    std::string_view prefix;
    size_t depth;
    bool lineEnds;
    std::string& out;

    void WriteMargin(size_t extraLevels = 0) const {
        out += prefix;
        out.append((depth + extraLevels) * kIndent.size(), ' ');
    }
    void EndLine() const {
        if (lineEnds) {
            out += '\n';
        }
    }
    Layout Inner() const { return Layout{prefix, depth + 1, lineEnds, out}; }
};

void PrintValue(const View::Unit& unit, std::string_view name, std::string_view separator,
                const Layout& layout);

// The traits of a unit, each on one line within "[" and "]".
class TraitsPrinter final : public ItemProcessor<const View::Trait> {
  public:
    explicit TraitsPrinter(const Layout& layout) : layout_(layout) {}
    bool Process(const View::Trait& trait) override {
        const Layout oneLine{layout_.prefix, layout_.depth, false, layout_.out};
        const View::Unit& value = trait.GetValue();
        PrintValue(value, trait.GetName().View(), "[", oneLine);
        if (Detail::IsContainer(value)) {
            layout_.WriteMargin();
        }
        layout_.out += ']';
        layout_.EndLine();
        return false;
    }

  private:
    const Layout& layout_;
};

class CompositePrinter final : public ItemProcessor<const View::Property> {
  public:
    explicit CompositePrinter(const Layout& layout) : layout_(layout) {}
    bool Process(const View::Property& property) override {
        PrintValue(property.GetValue(), property.GetName().View(), "", layout_);
        return false;
    }

  private:
    const Layout& layout_;
};

class ArrayPrinter final : public ItemProcessor<const View::Unit> {
  public:
    explicit ArrayPrinter(const Layout& layout) : layout_(layout) {}
    bool Process(const View::Unit& element) override {
        char digits[16];
        const auto result = std::to_chars(digits, digits + sizeof digits, counter_++);
        PrintValue(element, std::string_view(digits, result.ptr - digits), "", layout_);
        return false;
    }

  private:
    const Layout& layout_;
    uint32_t counter_ = 0;
};

// Prints one value: its line (or head line), its members, then its traits.
class ValuePrinter {
  public:
    ValuePrinter(const View::Unit& unit, std::string_view name, std::string_view separator,
                 const Layout& layout)
        : unit_(unit), name_(name), separator_(separator), layout_(layout) {}

    void operator()(const View::CompositeValue& value) {
        Head(" (Composite)");
        layout_.EndLine();
        const Layout inner = layout_.Inner();
        PrintTraits(inner);
        CompositePrinter members(inner);
        value.ForEach(members);
    }
    void operator()(const View::ArrayValue& value) {
        Head(" (Array)");
        layout_.EndLine();
        const Layout inner = layout_.Inner();
        PrintTraits(inner);
        ArrayPrinter elements(inner);
        value.ForEach(elements);
    }
    void operator()(const View::ComplexValue<String>& value) {
        Head(" (Common::String) = ");
        WriteWide(layout_.out, value.GetValue());
        Finish();
    }
    void operator()(const View::ComplexValue<Guid>& value) {
        Head(" (Common::Guid) = ");
        const size_t start = layout_.out.size();
        layout_.out.resize(start + Common::kGuidTextLength);
        Common::WriteGuidText(value.GetValue(), layout_.out.data() + start);
        Finish();
    }
    void operator()(const View::ComplexValue<Blob>& value) {
        Head(" (Blob) Size = ");
        WriteNumber(layout_.out, value.GetValue().size());
        Finish();
    }
    void operator()(const View::NilValue&) {
        Head(" (NIL)");
        Finish();
    }
    void operator()(const View::ComplexValue<Common::Error>& value) {
        const Common::Error& error = value.GetValue();
        Head(" (Common::Error)");
        WriteErrorFields(layout_.out, error);
        layout_.EndLine();
        size_t level = 0;
        for (Common::Error reason = error.Reason(); reason.Code() != 0; reason = reason.Reason()) {
            layout_.WriteMargin(++level);
            layout_.out += "(SubError)";
            WriteErrorFields(layout_.out, reason);
            layout_.EndLine();
        }
        PrintTraits(layout_.Inner());
    }
    template <class T>
    void operator()(const View::ScalarValue<T>& value) {
        Head(" (");
        layout_.out += ScalarTypeName<T>();
        layout_.out += ") = ";
        WriteScalar(layout_.out, value.GetValue());
        Finish();
    }

  private:
    // The margin, separator, name and kind, in one piece: the head of every value.
    void Head(std::string_view kind) {
        std::string& out = layout_.out;
        const size_t margin = layout_.depth * kIndent.size();
        const size_t start = out.size();
        out.resize(start + layout_.prefix.size() + margin + separator_.size() + name_.size() +
                   kind.size());
        char* text = out.data() + start;
        const auto put = [&text](std::string_view piece) {
            text += piece.copy(text, piece.size());
        };
        put(layout_.prefix);
        std::memset(text, ' ', margin);
        text += margin;
        put(separator_);
        put(name_);
        put(kind);
    }
    void Finish() {
        layout_.EndLine();
        PrintTraits(layout_.Inner());
    }
    void PrintTraits(const Layout& inner) {
        TraitsPrinter traits(inner);
        unit_.GetTraits().ForEach(traits);
    }

    const View::Unit& unit_;
    std::string_view name_;
    std::string_view separator_;
    const Layout& layout_;
};

void PrintValue(const View::Unit& unit, std::string_view name, std::string_view separator,
                const Layout& layout) {
    Zaph::Detail::NestingGuard guard(COMMON_PLACE("Zaph::Util::TraceUnit"));
    ValuePrinter printer(unit, name, separator, layout);
    View::Detail::UnitVisitorAdaptor<ValuePrinter> reader(printer);
    unit.Accept(reader);
}

}  // namespace

void TraceUnit(const View::Unit& unit, std::string_view prefix, std::string& out, bool lineEnds) {
    const Layout layout{prefix, 0, lineEnds, out};
    PrintValue(unit, "Root", "", layout);
}

std::string TraceUnitToString(const View::Unit& unit, std::string_view prefix, bool lineEnds) {
    std::string out;
    TraceUnit(unit, prefix, out, lineEnds);
    return out;
}

}  // namespace Zaph::Util
