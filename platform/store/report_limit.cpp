#include "platform/store/report_limit.h"

#include "enterprise/common/zaph/value_access.h"
#include "platform/store/store_errors.h"

namespace KivoStore {
namespace {

const Zaph::Name kLimitOptions = Zaph::Name::Literal("LimitOptions");

Common::Error BadLimit(const Common::SourceLocation& place) {
    return Common::Error(place, kBadOptions,
                         "KIVO: The option \"LimitOptions\" must be a count (an integer, 0 for "
                         "no limit).");
}

}  // namespace

uint64_t ReportLimit(const Zaph::View::SharedUnitPtr& options) {
    if (options == nullptr)
        return 0;
    struct First final : Zaph::ItemProcessor<const Zaph::View::Trait> {
        const Zaph::View::Unit* value = nullptr;
        bool Process(const Zaph::View::Trait& trait) override {
            value = &trait.GetValue();
            return true;
        }
    } first;
    options->GetTraits().ForEachNamed(kLimitOptions, first);
    if (first.value == nullptr)
        return 0;
    const Zaph::View::Unit& value = *first.value;
    int64_t count = 0;
    switch (Zaph::Util::GetTypeIndex(value)) {
        case Zaph::TypeIndex::Byte:
            return Zaph::Util::GetValue<uint8_t>(value);
        case Zaph::TypeIndex::Word:
            return Zaph::Util::GetValue<uint16_t>(value);
        case Zaph::TypeIndex::DWord:
            return Zaph::Util::GetValue<uint32_t>(value);
        case Zaph::TypeIndex::QWord:
            return Zaph::Util::GetValue<uint64_t>(value);
        case Zaph::TypeIndex::SByte:
            count = Zaph::Util::GetValue<int8_t>(value);
            break;
        case Zaph::TypeIndex::SWord:
            count = Zaph::Util::GetValue<int16_t>(value);
            break;
        case Zaph::TypeIndex::SDWord:
            count = Zaph::Util::GetValue<int32_t>(value);
            break;
        case Zaph::TypeIndex::SQWord:
            count = Zaph::Util::GetValue<int64_t>(value);
            break;
        default:
            throw BadLimit(COMMON_PLACE("KivoStore::ReportLimit"));
    }
    if (count < 0)
        throw BadLimit(COMMON_PLACE("KivoStore::ReportLimit"));
    return static_cast<uint64_t>(count);
}

}  // namespace KivoStore
