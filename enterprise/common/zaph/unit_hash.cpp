#include "enterprise/common/zaph/unit_hash.h"

namespace Zaph::Util {

Md5Digest ComputeUnitHash(const View::Unit& unit) {
    MD5HashConsumer consumer;
    BinaryDataProvider provider(consumer);
    WalkValueFirstGuide guide;
    WalkUnit(unit, guide, provider);
    return consumer.Finish();
}

}  // namespace Zaph::Util
