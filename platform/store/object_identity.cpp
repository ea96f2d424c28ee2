#include "platform/store/object_identity.h"

#include <algorithm>

#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "enterprise/common/zaph/value_access.h"

namespace KivoStore {
namespace {

const Zaph::Name kIs = Zaph::Name::Literal("Is");

// Collects the String values of the traits it is handed.
class StringTraitCollector final : public Zaph::ItemProcessor<const Zaph::View::Trait> {
  public:
    explicit StringTraitCollector(bool firstOnly) : firstOnly_(firstOnly) {}
    bool Process(const Zaph::View::Trait& trait) override {
        const Zaph::View::Unit& value = trait.GetValue();
        if (Zaph::Util::GetTypeIndex(value) != Zaph::TypeIndex::String)
            return false;
        found.push_back(&Zaph::Util::GetValue<Zaph::String>(value));
        return firstOnly_;
    }
    std::vector<const Zaph::String*> found;

  private:
    bool firstOnly_;
};

}  // namespace

ObjectId ObjectIdOf(const Zaph::View::SharedUnitPtr& object) {
    return ToObjectId(Kivo::GetObjectId(*Kivo::GetObjectKey(object)));
}

ObjectId ToObjectId(const Common::Guid& guid) {
    ObjectId id{};
    for (int i = 0; i < 4; ++i)
        id[i] = static_cast<uint8_t>(guid.Data1 >> (24 - 8 * i));
    id[4] = static_cast<uint8_t>(guid.Data2 >> 8);
    id[5] = static_cast<uint8_t>(guid.Data2);
    id[6] = static_cast<uint8_t>(guid.Data3 >> 8);
    id[7] = static_cast<uint8_t>(guid.Data3);
    std::copy(std::begin(guid.Data4), std::end(guid.Data4), id.begin() + 8);
    return id;
}

Common::Guid ToGuid(const ObjectId& id) {
    Common::Guid guid;
    guid.Data1 = static_cast<uint32_t>(id[0]) << 24 | static_cast<uint32_t>(id[1]) << 16 |
                 static_cast<uint32_t>(id[2]) << 8 | id[3];
    guid.Data2 = static_cast<uint16_t>(id[4] << 8 | id[5]);
    guid.Data3 = static_cast<uint16_t>(id[6] << 8 | id[7]);
    std::copy(id.begin() + 8, id.end(), std::begin(guid.Data4));
    return guid;
}

std::vector<std::u16string> TypesOf(const Zaph::View::Unit& object) {
    StringTraitCollector collector(false);
    object.GetTraits().ForEachNamed(kIs, collector);
    std::vector<std::u16string> types;
    for (const Zaph::String* text : collector.found) {
        if (std::find(types.begin(), types.end(), *text) == types.end())
            types.push_back(*text);
    }
    return types;
}

const std::u16string* PinnedType(const Zaph::View::Unit& pattern) {
    StringTraitCollector collector(true);
    pattern.GetTraits().ForEachNamed(kIs, collector);
    return collector.found.empty() ? nullptr : collector.found.front();
}

}  // namespace KivoStore
