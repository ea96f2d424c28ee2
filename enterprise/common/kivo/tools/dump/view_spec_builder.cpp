#include "enterprise/common/kivo/tools/dump/view_spec_builder.h"

#include <iostream>
#include <streambuf>
#include <string>

#include "core/common/catalog.h"
#include "core/common/error/error.h"
#include "enterprise/common/zaph/parser/file_io.h"
#include "enterprise/common/zaph/parser/unit_construction_format.h"
#include "enterprise/common/zaph/parser/unit_construction_parser.h"
#include "enterprise/common/zaph/unit_builder.h"

namespace KivoDump {
namespace {

using UnitConstructionParser::DecodeText;

Common::Error Refusal(const Common::SourceLocation& place, uint32_t messageId) {
    return Common::Error(place, kQueryWithoutPattern, Common::GetCatalogMessage(messageId));
}

// The trace stream of a read: standard output, remembering whether its last line is still open
// (the text format leaves its trace line unended when the text has an error).
class LineTrackingBuffer final : public std::streambuf {
  public:
    explicit LineTrackingBuffer(std::streambuf* target) : target_(target) {}

    bool LineOpen() const { return lineOpen_; }

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        lineOpen_ = traits_type::to_char_type(c) != '\n';
        return target_->sputc(traits_type::to_char_type(c));
    }
    std::streamsize xsputn(const char* bytes, std::streamsize count) override {
        if (count > 0) {
            lineOpen_ = bytes[count - 1] != '\n';
        }
        return target_->sputn(bytes, count);
    }
    int sync() override { return target_->pubsync(); }

  private:
    std::streambuf* target_;
    bool lineOpen_ = false;
};

// The unit read from `reader`; null when the text holds none. When the text has an error, its
// trace line is ended first, so that the error text printed next starts a line of its own.
Zaph::View::SharedUnitPtr ReadUnit(Utils::DataReader& reader,
                                   Zaph::Construction::UnitFactory& factory) {
    LineTrackingBuffer buffer(std::cout.rdbuf());
    std::ostream trace(&buffer);
    Utils::UnitConstructionFormat format(trace);
    try {
        return format.Read(reader, factory);
    } catch (const Common::Error&) {
        if (buffer.LineOpen()) {
            trace << '\n' << std::flush;
        }
        throw;
    }
}

// What a reader is made from. A text is decoded as the format decodes quoted texts.
std::u16string SourceOf(const std::string& text, const Utils::InMemoryDataReader*) {
    return DecodeText(text);
}

// A file name is decoded from UTF-8; one that is not UTF-8 is refused.
std::u16string SourceOf(const std::string& name, const Utils::FileReader*) {
    return Utils::FileNameFromUtf8(name);
}

// Reads the options (when there are any) and then the pattern, refusing either without a unit.
template <class Reader>
Kivo::ViewSpec ReadQuery(const std::string& options, const std::string& pattern,
                         Zaph::Construction::UnitFactory& factory) {
    Kivo::ViewSpec spec;
    if (!options.empty()) {
        Reader reader(SourceOf(options, static_cast<const Reader*>(nullptr)));
        spec.Options = ReadUnit(reader, factory);
        if (spec.Options == nullptr) {
            throw Refusal(COMMON_PLACE("MakeViewSpec"), Common::kMsgOptionsWithoutUnit);
        }
    }
    Reader reader(SourceOf(pattern, static_cast<const Reader*>(nullptr)));
    spec.Pattern = ReadUnit(reader, factory);
    if (spec.Pattern == nullptr) {
        throw Refusal(COMMON_PLACE("MakeViewSpec"), Common::kMsgPatternWithoutUnit);
    }
    return spec;
}

}  // namespace

Kivo::ViewSpec MakeViewSpec(const Arguments& arguments) {
    Zaph::Construction::InMemoryUnitFactory factory;
    if (!arguments.objectType.empty()) {
        Kivo::ViewSpec spec;
        spec.Pattern = Zaph::Util::FluentUnitBuilder(factory)
                           .Composite()
                           .Trait("Is")
                           .String(DecodeText(arguments.objectType))
                           .End()
                           .End()
                           .TakeResult();
        return spec;
    }
    if (!arguments.pattern.empty()) {
        return ReadQuery<Utils::InMemoryDataReader>(arguments.options, arguments.pattern, factory);
    }
    if (arguments.patternFile.empty()) {
        throw Refusal(COMMON_PLACE("MakeViewSpec"), Common::kMsgQueryWithoutPattern);
    }
    return ReadQuery<Utils::FileReader>(arguments.optionsFile, arguments.patternFile, factory);
}

}  // namespace KivoDump
