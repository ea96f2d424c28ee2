#include "enterprise/common/kivo/tools/dump/view_spec_builder.h"

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

// The unit read from `reader`; null when the text holds none.
Zaph::View::SharedUnitPtr ReadUnit(Utils::DataReader& reader,
                                   Zaph::Construction::UnitFactory& factory) {
    Utils::UnitConstructionFormat format;
    return format.Read(reader, factory);
}

// Reads the options (when `given`) and then the pattern, refusing either without a unit.
template <class Reader>
Kivo::ViewSpec ReadQuery(const std::string& options, const std::string& pattern,
                         Zaph::Construction::UnitFactory& factory) {
    Kivo::ViewSpec spec;
    if (!options.empty()) {
        Reader reader(DecodeText(options));
        spec.Options = ReadUnit(reader, factory);
        if (spec.Options == nullptr) {
            throw Refusal(COMMON_PLACE("MakeViewSpec"), Common::kMsgOptionsWithoutUnit);
        }
    }
    Reader reader(DecodeText(pattern));
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
