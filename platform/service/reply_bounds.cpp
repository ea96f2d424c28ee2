#include "platform/service/reply_bounds.h"

#include <string>

#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/unit_walker.h"
#include "platform/service/service_errors.h"

namespace KivoService {
namespace {

// The elements around one unit of a vector: item, is_empty, value, and their closing tags.
constexpr size_t kUnitElementBytes = 96;
// The header, the "result" and the section of a reply.
constexpr size_t kReplyFrameBytes = 4096;

class ByteCounter final : public Zaph::Util::BinaryDataConsumer {
  public:
    void Consume(const uint8_t*, uint32_t size) override { bytes += size; }
    size_t bytes = 0;
};

}  // namespace

size_t UnitReplyBytes(const Zaph::View::Unit& unit) {
    ByteCounter counter;
    Zaph::Util::BinaryDataProvider provider(counter);
    Zaph::Util::WalkValueFirstGuide guide;
    Zaph::Util::WalkUnit(unit, guide, provider);
    return (counter.bytes + 2) / 3 * 4 + kUnitElementBytes;
}

void BoundedUnits::Add(const Zaph::View::SharedUnitPtr& unit) {
    const size_t bytes = unit == nullptr ? kUnitElementBytes : UnitReplyBytes(*unit);
    if (kReplyFrameBytes + bytes_ + bytes > limit_) {
        throw Common::Error(
            COMMON_PLACE("KivoService::BoundedUnits::Add"), kReplyTooLarge,
            "KIVO: The objects that match are more than one reply can carry (" +
                (limit_ >= (1u << 20) ? std::to_string(limit_ >> 20) + " MiB"
                                      : std::to_string(limit_) + " bytes") +
                "); ask for fewer with the option \"LimitOptions\" or a narrower pattern.");
    }
    bytes_ += bytes;
    units_.push_back(unit);
}

}  // namespace KivoService
