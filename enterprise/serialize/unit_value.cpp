#include "enterprise/serialize/unit_value.h"

#include <vector>

#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace Serialization {
namespace {

constexpr const char* kIsEmptyName = "is_empty";
constexpr const char* kValueName = "value";

// The unit of a unit value that is not empty.
Zaph::View::SharedUnitPtr ReadPresentUnit(Deserializer& deserializer) {
    std::vector<uint8_t> blob;
    deserializer.ReadBytes(kValueName, blob);
    return Zaph::Util::ReadUnitFromBlob(blob, Zaph::Construction::DefaultUnitFactory());
}

}  // namespace

void WriteUnit(Serializer& serializer, const SerializationTag& tag,
               const Zaph::View::SharedUnitPtr& unit) {
    serializer.BeginTag(tag);
    serializer.WriteBool(kIsEmptyName, unit == nullptr);
    if (unit != nullptr) {
        Zaph::Blob blob;
        Zaph::Util::WriteUnitToBlob(*unit, blob);
        serializer.WriteBytes(kValueName, blob);
    }
    serializer.EndTag(tag);
}

void ReadUnit(Deserializer& deserializer, const SerializationTag& tag,
              Zaph::View::SharedUnitPtr& unit) {
    deserializer.BeginTag(tag);
    Zaph::View::SharedUnitPtr read;
    try {
        bool isEmpty = false;
        deserializer.ReadBool(kIsEmptyName, isEmpty);
        if (!isEmpty) {
            read = ReadPresentUnit(deserializer);
        }
    } catch (const Common::Error&) {
        // Every failure above leaves the unit's element innermost.
        deserializer.EndTag(tag);
        throw;
    }
    deserializer.EndTag(tag);
    unit = std::move(read);
}

}  // namespace Serialization
