#include "enterprise/common/zaph/parser/unit_construction_text_format.h"

#include <charconv>
#include <type_traits>

#include "core/common/guid.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/container_access.h"
#include "enterprise/common/zaph/item_processor.h"
#include "enterprise/common/zaph/nesting_guard.h"
#include "enterprise/common/zaph/value_kind.h"

namespace UnitConstructorFormat {
namespace {

using namespace Zaph;

// Numbers through to_chars: the C locale whatever the process's.
template <class T>
std::u16string Number(T value) {
    char digits[32];
    std::to_chars_result result;
    if constexpr (std::is_floating_point_v<T>) {
        // The form of "%g": six significant digits.
        result =
            std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 6);
    } else {
        result = std::to_chars(digits, digits + sizeof digits, value);
    }
    return Common::WidenBytes(std::string_view(digits, result.ptr - digits));
}

class TextWriter {
  public:
    explicit TextWriter(const Layout& layout) : layout_(layout), text_(layout.linePrefix) {}

    std::u16string Finish() {
        text_ += layout_.lineSuffix;
        return std::move(text_);
    }

    void WriteUnit(const View::Unit& unit, uint32_t depth) {
        Zaph::Detail::NestingGuard guard(
            COMMON_PLACE("UnitConstructorFormat::UnitConstructionTextFormat::Write"));
        ValueStatement statement{*this};
        View::Detail::UnitVisitorAdaptor<ValueStatement> visitor(statement);
        unit.Accept(visitor);

        bool wroteLines = false;
        // Opens the member lines of this unit, once.
        auto beginMember = [&] {
            if (!wroteLines) {
                BreakLine();
                wroteLines = true;
            }
            Indent(depth + 1);
        };
        auto traits = MakeProcessor<const View::Trait>([&](const View::Trait& trait) {
            beginMember();
            Call(u"Trait", Quoted(Common::ToUtf16(trait.GetName().View())));
            WriteUnit(trait.GetValue(), depth + 1);
            BreakLine();
            return false;
        });
        unit.GetTraits().ForEach(traits);
        if (const View::CompositeValue* composite = Util::Detail::CompositeOf(unit)) {
            auto properties = MakeProcessor<const View::Property>([&](const View::Property& p) {
                beginMember();
                Call(u"Property", Quoted(Common::ToUtf16(p.GetName().View())));
                WriteUnit(p.GetValue(), depth + 1);
                BreakLine();
                return false;
            });
            composite->ForEach(properties);
        } else if (const View::ArrayValue* array = Util::Detail::ArrayOf(unit)) {
            auto elements = MakeProcessor<const View::Unit>([&](const View::Unit& element) {
                beginMember();
                WriteUnit(element, depth + 1);
                BreakLine();
                return false;
            });
            array->ForEach(elements);
        }
        if (wroteLines) {
            Indent(depth);
        }
        Call(u"End", u"");
    }

  private:
    // Writes the statement of a unit's value.
    struct ValueStatement {
        TextWriter& writer;

        void operator()(const View::CompositeValue&) { writer.Call(u"Composite", u""); }
        void operator()(const View::ArrayValue&) { writer.Call(u"Array", u""); }
        void operator()(const View::NilValue&) { writer.Call(u"Nil", u""); }
        void operator()(const View::ComplexValue<Blob>&) { writer.Call(u"Blob", u""); }
        void operator()(const View::ComplexValue<String>& value) {
            writer.Call(u"String", writer.Quoted(value.GetValue()));
        }
        void operator()(const View::ComplexValue<Guid>& value) {
            writer.Call(u"Guid", Common::GuidToWideString(value.GetValue()));
        }
        void operator()(const View::ComplexValue<Common::Error>& value) {
            writer.Call(u"Error", value.GetValue().ToText());
        }
        void operator()(const View::ScalarValue<bool>& value) {
            writer.Call(u"Boolean", value.GetValue() ? u"true" : u"false");
        }
        template <class T>
        void operator()(const View::ScalarValue<T>& value) {
            writer.Call(Common::WidenBytes(TypeName(kTypeIndexOf<T>)), Number(value.GetValue()));
        }
    };

    void Call(std::u16string_view name, std::u16string_view argument) {
        text_ += u'.';
        text_ += name;
        text_ += u'(';
        text_ += argument;
        text_ += u')';
    }
    std::u16string Quoted(std::u16string_view text) const {
        return layout_.quote + std::u16string(text) + layout_.quote;
    }
    void BreakLine() {
        text_ += layout_.lineSuffix;
        text_ += layout_.lineBreak;
        text_ += layout_.linePrefix;
    }
    void Indent(uint32_t times) {
        for (uint32_t i = 0; i < times; ++i) {
            text_ += layout_.indent;
        }
    }

    const Layout& layout_;
    std::u16string text_;
};

}  // namespace

std::u16string UnitConstructionTextFormat::Write(const Zaph::View::Unit& unit) const {
    TextWriter writer(layout_);
    writer.WriteUnit(unit, 0);
    return writer.Finish();
}

}  // namespace UnitConstructorFormat
