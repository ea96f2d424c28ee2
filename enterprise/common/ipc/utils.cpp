#include "enterprise/common/ipc/utils.h"

#include "core/common/assert.h"
#include "enterprise/serialize/unit_value.h"

namespace Binding::Detail {
namespace {

constexpr int32_t kInputOnly = 1;
constexpr int32_t kOutputOnly = 2;
constexpr int32_t kEncrypted = 4;
constexpr int32_t kNeverTravels = 8;

int32_t Direction(int32_t flags) {
    return flags & 3;
}

bool Travels(int32_t flags) {
    return flags >= 0 && flags < kNeverTravels;
}

}  // namespace

bool WritesParameter(int32_t flags) {
    if (!Travels(flags) || Direction(flags) == kOutputOnly) {
        return false;
    }
    if (flags & kEncrypted) {
        COMMON_ASSERT_TEXT(false, "!\"Value is not encryptable but encyption was requested\"");
        return false;
    }
    return true;
}

bool ReadsParameter(int32_t flags) {
    if (!Travels(flags) || Direction(flags) == kInputOnly) {
        return false;
    }
    if (flags & kEncrypted) {
        COMMON_ASSERT_TEXT(false, "!\"Value is not encryptable but encyption was requested\"");
        return false;
    }
    return true;
}

void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                uint32_t value) {
    out.WriteUInt32(tag, value);
}

void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               uint32_t& value) {
    in.ReadUInt32(tag, value);
}

void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                const Zaph::View::SharedUnitPtr& unit) {
    Serialization::WriteUnit(out, tag, unit);
}

void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               Zaph::View::SharedUnitPtr& unit) {
    Serialization::ReadUnit(in, tag, unit);
}

}  // namespace Binding::Detail
