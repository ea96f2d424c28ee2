// Reads arbitrary bytes as the binary form of a unit. Reading must end in a unit or in a
// Common::Error, and a unit read must hash, print and write without failing. The form written is
// canonical, so reading it takes the fast path, whatever path read the fuzzer's bytes: what
// the fast path reads must write the same bytes again.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/trace_unit.h"
#include "enterprise/common/zaph/unit_hash.h"

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
    (void)Zaph::Util::TraceUnitToString(*unit, "  ", true);
    Zaph::Blob form;
    Zaph::Util::WriteUnitToBlob(*unit, form);
    Zaph::Blob again;
    Zaph::Util::WriteUnitToBlob(
        *Zaph::Util::ReadUnitFromBlob(form, Zaph::Construction::DefaultUnitFactory()), again);
    if (again != form) {
        std::abort();
    }
    return 0;
}
