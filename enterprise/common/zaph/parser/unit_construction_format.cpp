#include "enterprise/common/zaph/parser/unit_construction_format.h"

#include <iostream>
#include <string_view>

#include "enterprise/common/zaph/parser/unit_construction_parser.h"
#include "enterprise/common/zaph/parser/unit_construction_text_format.h"
#include "enterprise/common/zaph/unit_builder.h"

namespace Utils {
namespace {

std::string_view AsText(const std::vector<uint8_t>& bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

UnitConstructionFormat::UnitConstructionFormat() : trace_(std::cout) {}

Zaph::Construction::UnitPtr UnitConstructionFormat::Read(DataReader& reader,
                                                         Zaph::Construction::UnitFactory& factory) {
    std::vector<uint8_t> bytes;
    reader.ReadData(bytes);
    Zaph::Util::UnitAccumulator accumulator(factory);
    UnitConstructionParser::Interpret(AsText(bytes), accumulator, &trace_);
    return accumulator.TakeResult();
}

void UnitConstructionFormat::Write(const Zaph::View::Unit& unit, DataWriter& writer) {
    const std::u16string text = UnitConstructorFormat::UnitConstructionTextFormat().Write(unit);
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unitOfText : text) {
        bytes.push_back(static_cast<uint8_t>(unitOfText & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unitOfText >> 8));
    }
    writer.WriteData(bytes);
}

size_t UnitConstructionFormat::ReadEach(DataReader& reader,
                                        Zaph::Construction::UnitFactory& factory,
                                        const UnitCallback& callback, ReadMode mode) {
    std::vector<uint8_t> bytes;
    reader.ReadData(bytes);
    Zaph::Util::UnitAccumulator accumulator(factory);
    size_t delivered = 0;
    UnitConstructionParser::Interpret(
        AsText(bytes), accumulator, nullptr,
        [&] {
            if (accumulator.HasResult()) {
                ++delivered;
                callback(accumulator.TakeResult());
            }
        },
        mode);
    return delivered;
}

}  // namespace Utils
