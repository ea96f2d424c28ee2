// Reads arbitrary bytes as the binary form of a unit. Reading must end in a unit or in a
// Common::Error, and a unit read must hash, print and write without failing.

#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <streambuf>

#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/trace_unit.h"
#include "enterprise/common/zaph/unit_hash.h"

namespace {

// A stream that drops what it is given, so that printing costs little.
class NullBuffer final : public std::streambuf {
  protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Zaph::Construction::UnitPtr unit;
    try {
        unit = Zaph::Util::ReadUnitFromBlob({data, size}, Zaph::Construction::DefaultUnitFactory());
    } catch (const Common::Error& error) {
        if (error.IsEmpty()) {
            std::abort();  // a failure must say what failed
        }
        return 0;
    }
    if (unit == nullptr) {
        std::abort();
    }
    (void)Zaph::Util::ComputeUnitHash(*unit);
    NullBuffer buffer;
    std::ostream out(&buffer);
    Zaph::Util::TraceUnit(*unit, "  ", out, true);
    Zaph::Blob form;
    Zaph::Util::WriteUnitToBlob(*unit, form);
    return 0;
}
