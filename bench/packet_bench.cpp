// Writing and reading the packet of a report reply: 10,000 unit values of about 200 bytes each,
// each an "item" section holding "is_empty" and the unit's binary form as a base64 byte vector.
// The Blob benchmarks take the binary forms as they are (the packet alone); the Unit benchmarks
// start from units and end with units (the binary form written and read as well).

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/unit_builder.h"
#include "enterprise/serialize/container.h"
#include "enterprise/serialize/unit_value.h"
#include "enterprise/serialize/xml_packet_deserializer.h"
#include "enterprise/serialize/xml_packet_serializer.h"

namespace {

using Serialization::Deserializer;
using Serialization::SerializationTag;
using Serialization::Serializer;

constexpr int kUnits = 10000;
const char* const kReplyName = "reply_ViewManager_OpenStaticView";

// An object of a report: a composite whose binary form is about 200 bytes.
Zaph::View::SharedUnitPtr ReportObject(std::mt19937& random) {
    const std::u16string number = std::u16string(u"machine-") + char16_t(u'0' + random() % 10) +
                                  char16_t(u'0' + random() % 10);
    Zaph::Guid id;
    id.Data1 = static_cast<uint32_t>(random());
    return Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
        .Composite()
        .Trait("Is")
        .String(u"Kivo::Machine")
        .End()
        .Property("Id")
        .Guid(id)
        .End()
        .Property("Name")
        .String(number)
        .End()
        .Property("Ports")
        .Array()
        .DWord(static_cast<uint32_t>(random() % 65536))
        .End()
        .DWord(443)
        .End()
        .End()
        .Property("State")
        .String(u"running")
        .End()
        .End()
        .TakeResult();
}

const std::vector<Zaph::View::SharedUnitPtr>& Units() {
    static const std::vector<Zaph::View::SharedUnitPtr> units = [] {
        std::mt19937 random(13);
        std::vector<Zaph::View::SharedUnitPtr> all;
        for (int i = 0; i < kUnits; ++i)
            all.push_back(ReportObject(random));
        return all;
    }();
    return units;
}

const std::vector<std::vector<uint8_t>>& UnitBlobs() {
    static const std::vector<std::vector<uint8_t>> blobs = [] {
        std::vector<std::vector<uint8_t>> all;
        for (const auto& unit : Units()) {
            all.emplace_back();
            Zaph::Util::WriteUnitToBlob(*unit, all.back());
        }
        return all;
    }();
    return blobs;
}

void WriteUnitBytes(Serializer& out, const SerializationTag& tag,
                    const std::vector<uint8_t>& blob) {
    out.BeginTag(tag);
    out.WriteBool("is_empty", false);
    out.WriteBytes("value", blob);
    out.EndTag(tag);
}

void ReadUnitBytes(Deserializer& in, const SerializationTag& tag, std::vector<uint8_t>& blob) {
    in.BeginTag(tag);
    bool isEmpty = true;
    in.ReadBool("is_empty", isEmpty);
    if (!isEmpty) {
        in.ReadBytes("value", blob);
    }
    in.EndTag(tag);
}

template <class Element, class WriteElement>
std::string WriteReply(const std::vector<Element>& elements, WriteElement write) {
    Serialization::XMLPacketSerializer out(2, 0xFFFFFFFF);
    out.BeginTag(kReplyName);
    out.WriteError("result", Common::Error());
    out.BeginTag("snapshot");
    Serialization::WriteVector(out, elements, write);
    out.EndTag("snapshot");
    out.EndTag(kReplyName);
    return out.FinishString();
}

template <class Element, class ReadElement>
std::vector<Element> ReadReply(const std::string& packet, ReadElement read) {
    Serialization::XMLPacketDeserializer in(packet, 0xFFFFFFFF);
    std::vector<Element> elements;
    in.BeginTag(kReplyName);
    Common::Error result;
    in.ReadError("result", result);
    in.BeginTag("snapshot");
    Serialization::ReadVector(in, elements, read);
    in.EndTag("snapshot");
    in.EndTag(kReplyName);
    return elements;
}

void CountBytes(benchmark::State& state, size_t packetBytes) {
    size_t unitBytes = 0;
    for (const auto& blob : UnitBlobs())
        unitBytes += blob.size();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packetBytes));
    state.counters["packet_bytes"] = static_cast<double>(packetBytes);
    state.counters["unit_bytes_avg"] = static_cast<double>(unitBytes) / kUnits;
}

void BM_PacketWrite_Blobs(benchmark::State& state) {
    const auto& blobs = UnitBlobs();
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string packet = WriteReply(blobs, WriteUnitBytes);
        bytes = packet.size();
        benchmark::DoNotOptimize(packet.data());
    }
    CountBytes(state, bytes);
}
BENCHMARK(BM_PacketWrite_Blobs)->Unit(benchmark::kMillisecond);

void BM_PacketRead_Blobs(benchmark::State& state) {
    const std::string packet = WriteReply(UnitBlobs(), WriteUnitBytes);
    for (auto _ : state) {
        const auto blobs = ReadReply<std::vector<uint8_t>>(packet, ReadUnitBytes);
        if (blobs.size() != kUnits) {
            state.SkipWithError("units lost");
        }
        benchmark::DoNotOptimize(blobs.data());
    }
    CountBytes(state, packet.size());
}
BENCHMARK(BM_PacketRead_Blobs)->Unit(benchmark::kMillisecond);

void BM_PacketWrite_Units(benchmark::State& state) {
    const auto& units = Units();
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string packet = WriteReply(units, Serialization::WriteUnit);
        bytes = packet.size();
        benchmark::DoNotOptimize(packet.data());
    }
    CountBytes(state, bytes);
}
BENCHMARK(BM_PacketWrite_Units)->Unit(benchmark::kMillisecond);

void BM_PacketRead_Units(benchmark::State& state) {
    const std::string packet = WriteReply(Units(), Serialization::WriteUnit);
    for (auto _ : state) {
        const auto units = ReadReply<Zaph::View::SharedUnitPtr>(packet, Serialization::ReadUnit);
        if (units.size() != kUnits) {
            state.SkipWithError("units lost");
        }
        benchmark::DoNotOptimize(units.data());
    }
    CountBytes(state, packet.size());
}
BENCHMARK(BM_PacketRead_Units)->Unit(benchmark::kMillisecond);

}  // namespace
