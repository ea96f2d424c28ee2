// What a connection may send before its login is accepted: at most kMaxLoginBytes of arbitrary
// bytes, fed to a frame reader in pieces whose sizes the first byte chooses. Every payload is read
// as credentials and as a hello; credentials that are accepted lie within their bounds and
// encode back to the payload they came from.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "platform/wire/frame_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t piece = data[0] % 64 + 1;
    const std::span<const uint8_t> stream(data + 1, std::min(size - 1, KivoWire::kMaxLoginBytes));
    KivoWire::FrameReader reader;
    for (size_t at = 0; at < stream.size(); at += piece) {
        if (!reader.Feed(stream.subspan(at, std::min(piece, stream.size() - at))).IsEmpty())
            return 0;
        for (KivoWire::Frame frame; reader.Next(frame);) {
            if (frame.payload.size() > KivoWire::kMaxLoginBytes)
                std::abort();
            std::string user, password;
            if (KivoWire::ReadCredentials(frame.payload, user, password).IsEmpty()) {
                std::vector<uint8_t> again;
                if (user.empty() || user.size() > KivoWire::kMaxUserBytes || password.empty() ||
                    password.size() > KivoWire::kMaxPasswordBytes ||
                    !KivoWire::CredentialsPayload(user, password, again).IsEmpty() ||
                    again != frame.payload)
                    std::abort();
            } else if (!user.empty() || !password.empty()) {
                std::abort();  // a refused payload leaves nothing behind
            }
            uint32_t service = 0;
            (void)KivoWire::ReadHello(frame.payload, service);
        }
    }
    return 0;
}
