// Reads arbitrary bytes as unit construction text, in both reading modes. A text either gives
// a unit (or none) or raises a Common::Error; a unit read must write back as text without error.
// Strict mode accepts a subset of what lenient mode reads: the units it delivers, before an
// error or without one, must be the first units that lenient mode delivers from the same
// bytes, and every error of a strict reading must say where it is.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/error/error.h"
#include "enterprise/common/zaph/parser/unit_construction_format.h"
#include "enterprise/common/zaph/parser/unit_construction_text_format.h"

namespace {

// The written texts of the units that ReadEach delivers, and the error that ended it.
std::vector<std::u16string> ReadEach(const uint8_t* data, size_t size, Utils::ReadMode mode,
                                     Common::Error& error) {
    Utils::BytesReader reader(std::string_view(reinterpret_cast<const char*>(data), size));
    std::vector<Zaph::Construction::UnitPtr> units;
    try {
        Utils::UnitConstructionFormat::ReadEach(
            reader, Zaph::Construction::DefaultUnitFactory(),
            [&](Zaph::Construction::UnitPtr unit) { units.push_back(std::move(unit)); }, mode);
    } catch (const Common::Error& raised) {
        error = raised;
    }
    // Outside the try: an error writing a unit back escapes and fails the run.
    std::vector<std::u16string> texts;
    for (const Zaph::Construction::UnitPtr& unit : units) {
        texts.push_back(UnitConstructorFormat::UnitConstructionTextFormat().Write(*unit));
    }
    return texts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Common::Error strictError;
    const std::vector<std::u16string> strict =
        ReadEach(data, size, Utils::ReadMode::Strict, strictError);
    Common::Error lenientError;
    const std::vector<std::u16string> lenient =
        ReadEach(data, size, Utils::ReadMode::Lenient, lenientError);
    if (strict.size() > lenient.size() ||
        !std::equal(strict.begin(), strict.end(), lenient.begin())) {
        __builtin_trap();  // strict mode delivered a unit that lenient mode did not
    }
    if (strictError.IsEmpty() && (!lenientError.IsEmpty() || strict.size() != lenient.size())) {
        __builtin_trap();  // strict mode read the whole text, lenient mode did not
    }
    if (!strictError.IsEmpty() && strictError.Message().rfind(u"Line ", 0) != 0) {
        __builtin_trap();  // a strict error that does not say where it is
    }

    std::ostringstream trace;
    Utils::UnitConstructionFormat format(trace);
    Utils::BytesReader reader(std::string_view(reinterpret_cast<const char*>(data), size));
    Zaph::Construction::UnitPtr unit;
    try {
        unit = format.Read(reader, Zaph::Construction::DefaultUnitFactory());
    } catch (const Common::Error&) {
        // Malformed text is refused with an error: the expected outcome for most inputs.
        return 0;
    }
    if (unit != nullptr) {
        // Whatever was read must write back: an error here escapes and fails the run.
        UnitConstructorFormat::UnitConstructionTextFormat().Write(*unit);
    }
    return 0;
}
