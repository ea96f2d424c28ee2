// Our XML reader beside libxml2's xmlReadMemory, and our base64 beside OpenSSL's, on the shape
// of a report reply: 10,000 values of about 200 bytes each, written as base64 byte vectors.

#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "core/common/base64.h"
#include "core/xml/document.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes)
        byte = static_cast<uint8_t>(random());
    return bytes;
}

const std::string& ReportPacket() {
    static const std::string packet = [] {
        std::string text = "\xEF\xBB\xBF<XML_SERIALIZER><units><vector>";
        for (int i = 0; i < 10000; ++i) {
            const std::vector<uint8_t> value = RandomBytes(200, static_cast<uint32_t>(i));
            text += "<item>";
            Common::Base64Encode(value.data(), value.size(), text);
            text += "</item>";
        }
        return text + "</vector></units></XML_SERIALIZER>";
    }();
    return packet;
}

void BM_XmlRead_Ours(benchmark::State& state) {
    const std::string& packet = ReportPacket();
    for (auto _ : state) {
        Xml::Document document = Xml::Document::Parse(packet);
        benchmark::DoNotOptimize(document.Root().children.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packet.size()));
}
BENCHMARK(BM_XmlRead_Ours)->Unit(benchmark::kMillisecond);

void BM_XmlRead_Libxml2(benchmark::State& state) {
    const std::string& packet = ReportPacket();
    for (auto _ : state) {
        xmlDoc* document = xmlReadMemory(packet.data(), static_cast<int>(packet.size()), "p.xml",
                                         nullptr, XML_PARSE_NONET | XML_PARSE_HUGE);
        benchmark::DoNotOptimize(document);
        xmlFreeDoc(document);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packet.size()));
}
BENCHMARK(BM_XmlRead_Libxml2)->Unit(benchmark::kMillisecond);

const std::vector<uint8_t>& Payload() {
    static const std::vector<uint8_t> bytes = RandomBytes(2'000'000, 99);
    return bytes;
}

void BM_Base64Encode_Ours(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = Payload();
    std::string text;
    for (auto _ : state) {
        text.clear();
        Common::Base64Encode(bytes.data(), bytes.size(), text);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Base64Encode_Ours);

void BM_Base64Encode_OpenSsl(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = Payload();
    std::vector<unsigned char> text(bytes.size() / 3 * 4 + 8);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EVP_EncodeBlock(text.data(), bytes.data(), static_cast<int>(bytes.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Base64Encode_OpenSsl);

void BM_Base64Decode_Ours(benchmark::State& state) {
    std::string text;
    Common::Base64Encode(Payload().data(), Payload().size(), text);
    std::vector<uint8_t> bytes;
    for (auto _ : state) {
        bytes.clear();
        benchmark::DoNotOptimize(Common::Base64Decode(text, bytes));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Payload().size()));
}
BENCHMARK(BM_Base64Decode_Ours);

void BM_Base64Decode_OpenSsl(benchmark::State& state) {
    std::string text;
    Common::Base64Encode(Payload().data(), Payload().size(), text);
    std::vector<unsigned char> bytes(text.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Payload().size()));
}
BENCHMARK(BM_Base64Decode_OpenSsl);

}  // namespace
