#include "enterprise/common/kivo/interfaces/get_object_key.h"

#include "core/common/catalog.h"
#include "enterprise/common/zaph/decorators.h"
#include "enterprise/common/zaph/search_by_layers.h"
#include "enterprise/common/zaph/unit_hash.h"
#include "enterprise/common/zaph/unit_utilities.h"
#include "enterprise/common/zaph/value_access.h"

namespace Kivo {
namespace {

const Zaph::Name kPrimaryKey = Zaph::Name::Literal("PrimaryKey");
const Zaph::Name kForeignKey = Zaph::Name::Literal("ForeignKey");
// Changes with every version of an object; left out so that the versions share an id.
const Zaph::Name kTimeStamp = Zaph::Name::Literal("KivoTimeStamp");

// Stops the search at the first unit that has a "PrimaryKey" trait and remembers the key.
class ExtractKeyObject final : public Zaph::ItemProcessor<const Zaph::View::Unit>,
                               private Zaph::ItemProcessor<const Zaph::View::Trait> {
  public:
    bool Process(const Zaph::View::Unit& unit) override {
        unit.GetTraits().ForEachNamed(kPrimaryKey, *this);
        if (key_ == nullptr)
            return false;
        if (Zaph::Util::GetTypeIndex(*key_) == Zaph::TypeIndex::Nil)
            key_ = &unit;
        return true;
    }

    const Zaph::View::Unit* Key() const { return key_; }

  private:
    bool Process(const Zaph::View::Trait& trait) override {
        key_ = &trait.GetValue();
        return true;
    }

    const Zaph::View::Unit* key_ = nullptr;
};

Common::Guid GuidFromDigest(const Zaph::Util::Md5Digest& digest) {
    Common::Guid id;
    id.Data1 = static_cast<uint32_t>(digest[0]) | static_cast<uint32_t>(digest[1]) << 8 |
               static_cast<uint32_t>(digest[2]) << 16 | static_cast<uint32_t>(digest[3]) << 24;
    id.Data2 = static_cast<uint16_t>(digest[4] | digest[5] << 8);
    id.Data3 = static_cast<uint16_t>(digest[6] | digest[7] << 8);
    for (size_t i = 0; i < sizeof id.Data4; ++i)
        id.Data4[i] = digest[8 + i];
    return id;
}

}  // namespace

Zaph::View::SharedUnitPtr GetObjectKey(const Zaph::View::SharedUnitPtr& object) {
    ExtractKeyObject extractor;
    if (object)
        Zaph::Util::SearchByLayers(*object, extractor);
    if (extractor.Key() == nullptr) {
        throw Common::Error(COMMON_PLACE("Kivo::GetObjectKey"), kObjectIdentificationNotFound,
                            Common::GetCatalogMessage(Common::kMsgKivoNoObjectIdentification));
    }
    // The key lives inside the object: share the object's ownership.
    return Zaph::View::SharedUnitPtr(object, extractor.Key());
}

Common::Guid GetObjectId(const Zaph::View::Unit& key) {
    const bool markedAsKey =
        Zaph::Util::HasTrait(key, kPrimaryKey) || Zaph::Util::HasTrait(key, kForeignKey);
    if (!markedAsKey && Zaph::Util::GetTypeIndex(key) == Zaph::TypeIndex::Guid)
        return Zaph::Util::GetValue<Zaph::Guid>(key);
    const Zaph::View::PropertyRemovingUnitDecorator withoutTimeStamp(key, kTimeStamp);
    return GuidFromDigest(Zaph::Util::ComputeUnitHash(withoutTimeStamp));
}

std::u16string GetObjectIdText(const Zaph::View::SharedUnitPtr& object) {
    return GetKeyIdText(*GetObjectKey(object));
}

std::u16string GetKeyIdText(const Zaph::View::Unit& key) {
    return Common::GuidToWideString(GetObjectId(key));
}

}  // namespace Kivo
