// Reading normalises a binary form (repeated traits kept once, properties in name order, any
// non-zero Boolean byte read as true), so the oracle is idempotence: once a unit has been read
// from any bytes, its binary form reads back to a unit with the very same binary form.

#include <cstdint>
#include <cstdlib>

#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/blob_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& factory = Zaph::Construction::DefaultUnitFactory();
    Zaph::Construction::UnitPtr first;
    try {
        first = Zaph::Util::ReadUnitFromBlob({data, size}, factory);
    } catch (const Common::Error&) {
        return 0;  // refused input
    }
    Zaph::Blob firstForm;
    Zaph::Util::WriteUnitToBlob(*first, firstForm);
    Zaph::Blob secondForm;
    try {
        Zaph::Util::WriteUnitToBlob(*Zaph::Util::ReadUnitFromBlob(firstForm, factory), secondForm);
    } catch (const Common::Error&) {
        std::abort();  // the form of a unit that was read must read again
    }
    if (secondForm != firstForm) {
        std::abort();
    }
    return 0;
}
