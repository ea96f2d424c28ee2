// Feeds arbitrary bytes to the frame reader in pieces whose sizes the first byte chooses, as a
// socket hands them over. Every frame that comes out must encode back to the bytes it came
// from; payloads are read as the first frames of a connection and as errors, which may fail
// but must stay within their bounds.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/wire/frame_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t piece = data[0] % 40 + 1;
    const std::span<const uint8_t> stream(data + 1, size - 1);
    KivoWire::FrameReader reader;
    std::vector<uint8_t> accepted;
    bool failed = false;
    for (size_t at = 0; at < stream.size() && !failed; at += piece) {
        const auto bytes = stream.subspan(at, std::min(piece, stream.size() - at));
        failed = !reader.Feed(bytes).IsEmpty();
        for (KivoWire::Frame frame; reader.Next(frame);) {
            const std::vector<uint8_t> again =
                KivoWire::EncodeFrame(frame.header.kind, frame.header.componentId,
                                      frame.header.methodId, frame.header.callId, frame.payload);
            accepted.insert(accepted.end(), again.begin(), again.end());
            uint32_t service = 0;
            std::vector<KivoWire::ComponentVersion> components;
            (void)KivoWire::ReadHello(frame.payload, service);
            (void)KivoWire::ReadWelcome(frame.payload, components);
            (void)KivoWire::ReadError(frame.payload);
            if (components.size() > KivoWire::kMaxComponents)
                std::abort();
        }
    }
    // The frames that came out are the stream's first bytes, unchanged.
    if (accepted.size() > stream.size() ||
        !std::equal(accepted.begin(), accepted.end(), stream.begin()))
        std::abort();
    return 0;
}
