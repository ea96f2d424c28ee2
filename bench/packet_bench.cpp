// Writing and reading the packet of a report reply: 10,000 unit values of about 200 bytes each,
// each an "item" section holding "is_empty" and the unit's bytes as a base64 byte vector.

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "enterprise/serialize/container.h"
#include "enterprise/serialize/xml_packet_deserializer.h"
#include "enterprise/serialize/xml_packet_serializer.h"

namespace {

using Serialization::Deserializer;
using Serialization::SerializationTag;
using Serialization::Serializer;

constexpr int kUnits = 10000;
constexpr size_t kUnitBytes = 200;

const std::vector<std::vector<uint8_t>>& UnitBlobs() {
    static const std::vector<std::vector<uint8_t>> blobs = [] {
        std::mt19937 random(13);
        std::vector<std::vector<uint8_t>> all(kUnits, std::vector<uint8_t>(kUnitBytes));
        for (auto& blob : all) {
            for (uint8_t& byte : blob)
                byte = static_cast<uint8_t>(random());
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

std::string WriteReply(const std::vector<std::vector<uint8_t>>& blobs) {
    Serialization::XMLPacketSerializer out(2, 0xFFFFFFFF);
    out.BeginTag("reply_ViewManager_OpenStaticView");
    out.WriteError("result", Common::Error());
    out.BeginTag("snapshot");
    Serialization::WriteVector(out, blobs, WriteUnitBytes);
    out.EndTag("snapshot");
    out.EndTag("reply_ViewManager_OpenStaticView");
    return out.FinishString();
}

void BM_PacketWrite(benchmark::State& state) {
    const auto& blobs = UnitBlobs();
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string packet = WriteReply(blobs);
        bytes = packet.size();
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["packet_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_PacketWrite)->Unit(benchmark::kMillisecond);

void BM_PacketRead(benchmark::State& state) {
    const std::string packet = WriteReply(UnitBlobs());
    for (auto _ : state) {
        Serialization::XMLPacketDeserializer in(packet, 0xFFFFFFFF);
        std::vector<std::vector<uint8_t>> blobs;
        in.BeginTag("reply_ViewManager_OpenStaticView");
        Common::Error result;
        in.ReadError("result", result);
        in.BeginTag("snapshot");
        Serialization::ReadVector(in, blobs, ReadUnitBytes);
        in.EndTag("snapshot");
        in.EndTag("reply_ViewManager_OpenStaticView");
        if (blobs.size() != kUnits) {
            state.SkipWithError("units lost");
        }
        benchmark::DoNotOptimize(blobs.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packet.size()));
}
BENCHMARK(BM_PacketRead)->Unit(benchmark::kMillisecond);

}  // namespace
