#include "platform/wire/frame_reader.h"

#include <algorithm>

namespace KivoWire {

Common::Error FrameReader::Feed(std::span<const uint8_t> bytes) {
    if (!failure_.IsEmpty())
        return failure_;
    while (!bytes.empty()) {
        if (!inPayload_) {
            const size_t take = std::min(kHeaderBytes - filled_, bytes.size());
            std::copy_n(bytes.begin(), take, header_ + filled_);
            filled_ += take;
            bytes = bytes.subspan(take);
            if (filled_ < kHeaderBytes)
                break;
            failure_ =
                DecodeHeader(std::span<const uint8_t, kHeaderBytes>(header_), current_.header);
            if (!failure_.IsEmpty())
                return failure_;
            filled_ = 0;
            inPayload_ = true;
            current_.payload.clear();
        }
        // The payload grows with what arrives, never ahead of it.
        const size_t missing = current_.header.length - current_.payload.size();
        const size_t take = std::min(missing, bytes.size());
        current_.payload.insert(current_.payload.end(), bytes.begin(), bytes.begin() + take);
        bytes = bytes.subspan(take);
        if (current_.payload.size() == current_.header.length) {
            complete_.push_back(std::move(current_));
            current_ = Frame{};
            inPayload_ = false;
        }
    }
    return Common::Error();
}

bool FrameReader::Next(Frame& frame) {
    if (complete_.empty())
        return false;
    frame = std::move(complete_.front());
    complete_.pop_front();
    return true;
}

}  // namespace KivoWire
