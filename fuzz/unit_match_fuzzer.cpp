// Builds a source unit and a pattern unit from arbitrary bytes and matches them.
//
// Input: a little-endian u16 n, then the binary form of the source in the next n bytes (fewer
// when the input is shorter), then the binary form of the pattern in the rest. Blobs that do not
// read end the run. A match may fail only with the errors patterns are allowed to raise; any
// other error, a crash, or a wildcard match that works past its bound is a finding.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/data_accessor.h"
#include "enterprise/common/zaph/match.h"
#include "enterprise/common/zaph/nesting_guard.h"
#include "enterprise/common/zaph/value_access.h"
#include "enterprise/common/zaph/wildcard.h"

namespace {

// The facility of the unit library's errors: the only ones reading a blob may raise.
constexpr uint32_t kUnitFacility = 0xFA0000;

bool MayFailMatch(uint32_t code) {
    return code == Zaph::Errors::kPatternError || code == Zaph::Errors::kElementNotFound ||
           code == Zaph::Errors::kTypeMismatch || code == Zaph::Errors::kUnitTooDeep;
}

Zaph::Construction::UnitPtr Read(std::span<const uint8_t> blob) {
    try {
        return Zaph::Util::ReadUnitFromBlob(blob, Zaph::Construction::DefaultUnitFactory());
    } catch (const Common::Error& error) {
        if ((error.Code() & 0xFFFF0000) != kUnitFacility) {
            std::abort();
        }
        return nullptr;
    }
}

// Two strings: the wildcard match must stay within its stated work.
void CheckWildcardBound(const Zaph::View::Unit& text, const Zaph::View::Unit& wildcard) {
    if (Zaph::Util::GetTypeIndex(text) != Zaph::TypeIndex::String ||
        Zaph::Util::GetTypeIndex(wildcard) != Zaph::TypeIndex::String) {
        return;
    }
    const Zaph::String& textValue = Zaph::Util::GetValue<Zaph::String>(text);
    const Zaph::String& wildcardValue = Zaph::Util::GetValue<Zaph::String>(wildcard);
    uint64_t steps = 0;
    Zaph::Util::MatchWildcard(textValue, wildcardValue, &steps);
    if (steps > (textValue.size() + 1) * (wildcardValue.size() + 1)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::span<const uint8_t> input(data + 2, size - 2);
    const size_t split = std::min<size_t>(data[0] | (data[1] << 8), input.size());
    const Zaph::Construction::UnitPtr source = Read(input.first(split));
    const Zaph::Construction::UnitPtr pattern = Read(input.subspan(split));
    if (source == nullptr || pattern == nullptr) {
        return 0;
    }
    try {
        Zaph::Util::Match(*source, *pattern);
    } catch (const Common::Error& error) {
        if (!MayFailMatch(error.Code())) {
            std::abort();
        }
    }
    // Every guard of the match was released, also on the error paths.
    if (Zaph::Detail::nestingDepth != 0) {
        std::abort();
    }
    CheckWildcardBound(*source, *pattern);
    return 0;
}
