// Reads arbitrary bytes as unit construction text. A text either gives a unit (or none) or
// raises a Common::Error; a unit read must write back as text without error.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/error/error.h"
#include "enterprise/common/zaph/parser/unit_construction_format.h"
#include "enterprise/common/zaph/parser/unit_construction_text_format.h"

namespace {

class BytesReader final : public Utils::DataReader {
  public:
    BytesReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    void ReadData(std::vector<uint8_t>& bytes) override { bytes.assign(data_, data_ + size_); }

  private:
    const uint8_t* data_;
    size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::ostringstream trace;
    Utils::UnitConstructionFormat format(trace);
    BytesReader reader(data, size);
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
