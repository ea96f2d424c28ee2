// Reads arbitrary bytes as a packet holding a value of every kind, a versioned section and a
// container of unit values. Every field is read on its own, as record readers do, so that a
// missing or malformed field only loses that field; the reader may only fail with its own codes,
// and unit values also with the unit library's.
//
// Whatever was read is written again and read back, and that second packet must read without
// any error and write to the same bytes: reading and writing agree on every value text.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/error/error.h"
#include "enterprise/serialize/container.h"
#include "enterprise/serialize/unit_value.h"
#include "enterprise/serialize/xml_packet_deserializer.h"
#include "enterprise/serialize/xml_packet_serializer.h"

namespace {

using Serialization::Deserializer;
using Serialization::SerializationTag;
using Serialization::Serializer;

struct Values {
    std::vector<uint8_t> blob;
    uint16_t u16 = 0;
    int16_t s16 = 0;
    std::string narrow;
    int64_t s64 = 0;
    int32_t s32 = 0;
    uint64_t u64 = 0;
    double number = 0;
    uint32_t u32 = 0;
    std::u16string wide;
    Common::Error error;
    Common::Guid guid;
    uint8_t u8 = 0;
    bool flag = false;
    uint64_t sectionVersion = 0;
    std::vector<Zaph::View::SharedUnitPtr> units;
};

// The facility of the unit library's errors (a unit's binary form that does not read).
constexpr uint32_t kUnitFacility = 0xFA0000;

// Runs one read; false when it failed with one of the reader's own errors or, for unit values,
// the unit library's.
template <class Read>
bool Tolerant(bool strict, Read read, bool units = false) {
    try {
        read();
        return true;
    } catch (const Common::Error& error) {
        const bool own = error.Code() == Serialization::kPacketInconsistent ||
                         error.Code() == Serialization::kPacketNoData ||
                         (units && (error.Code() & 0xFFFF0000) == kUnitFacility);
        if (strict || !own) {
            std::abort();
        }
        return false;
    }
}

SerializationTag SectionTag() {
    SerializationTag tag("section");
    tag.version = 3;
    return tag;
}

void ReadValues(Serialization::XMLPacketDeserializer& in, bool strict, Values& v) {
    Tolerant(strict, [&] { in.ReadBytes("blob", v.blob); });
    Tolerant(strict, [&] { in.ReadUInt16("u16", v.u16); });
    Tolerant(strict, [&] { in.ReadInt16("s16", v.s16); });
    Tolerant(strict, [&] { in.ReadString("narrow", v.narrow); });
    Tolerant(strict, [&] { in.ReadInt64("s64", v.s64); });
    Tolerant(strict, [&] { in.ReadInt32("s32", v.s32); });
    Tolerant(strict, [&] { in.ReadUInt64("u64", v.u64); });
    Tolerant(strict, [&] { in.ReadDouble("double", v.number); });
    Tolerant(strict, [&] { in.ReadUInt32("u32", v.u32); });
    Tolerant(strict, [&] { in.ReadWideString("wide", v.wide); });
    Tolerant(strict, [&] { in.ReadError("error", v.error); });
    Tolerant(strict, [&] { in.ReadGuid("guid", v.guid); });
    Tolerant(strict, [&] { in.ReadUInt8("u8", v.u8); });
    Tolerant(strict, [&] { in.ReadBool("bool", v.flag); });
    const uint64_t outer = in.GetSubjectVersion();
    if (Tolerant(strict, [&] { in.BeginTag(SectionTag()); })) {
        v.sectionVersion = in.GetSubjectVersion();
        Tolerant(
            strict, [&] { Serialization::ReadVector(in, v.units, Serialization::ReadUnit); }, true);
        Tolerant(strict, [&] { in.EndTag(SectionTag()); });
    }
    if (in.GetSubjectVersion() != outer && strict) {
        std::abort();
    }
}

std::string WriteValues(const Values& v) {
    Serialization::XMLPacketSerializer out(2, 0);
    out.WriteBytes("blob", v.blob);
    out.WriteUInt16("u16", v.u16);
    out.WriteInt16("s16", v.s16);
    out.WriteString("narrow", v.narrow);
    out.WriteInt64("s64", v.s64);
    out.WriteInt32("s32", v.s32);
    out.WriteUInt64("u64", v.u64);
    out.WriteDouble("double", v.number);
    out.WriteUInt32("u32", v.u32);
    out.WriteWideString("wide", v.wide);
    out.WriteError("error", v.error);
    out.WriteGuid("guid", v.guid);
    out.WriteUInt8("u8", v.u8);
    out.WriteBool("bool", v.flag);
    SerializationTag section = SectionTag();
    section.version = v.sectionVersion;
    out.BeginTag(section);
    Serialization::WriteVector(out, v.units, Serialization::WriteUnit);
    out.EndTag(section);
    return out.FinishString();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Reading what a peer sends never asserts: a failed assertion ends the run.
    setenv("BRINTAL_SAFE_ASSERT", "abort", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Values first;
    try {
        Serialization::XMLPacketDeserializer in(
            std::string_view(reinterpret_cast<const char*>(data), size), 0);
        ReadValues(in, false, first);
    } catch (const Common::Error& error) {
        if (error.Code() != Serialization::kPacketInconsistent) {
            std::abort();
        }
        return 0;
    }
    const std::string packet = WriteValues(first);
    Values second;
    Serialization::XMLPacketDeserializer again(packet, 0);
    ReadValues(again, true, second);
    if (WriteValues(second) != packet) {
        std::abort();
    }
    return 0;
}
