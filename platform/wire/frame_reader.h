// KivoWire::FrameReader: cuts the bytes read from a stream socket into frames (frame.h).
//
// Bytes go in as they arrive, in pieces of any size; whole frames come out in order. A header is
// checked as soon as its 32 bytes are in, before any room is made for its payload; the payload's
// buffer then grows with the bytes that arrive, so a peer that announces a large frame and sends
// nothing holds no more memory than it sent. After a bad header the reader keeps its error and
// takes nothing more: the connection must be closed.
//
// Thread-safety: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "platform/wire/frame.h"

namespace KivoWire {

/// See the file comment.
class FrameReader {
  public:
    /// Takes `bytes`; complete frames go to the queue that Next empties. kBadFrame (kept for
    /// every later call) when a header breaks the protocol.
    [[nodiscard]] Common::Error Feed(std::span<const uint8_t> bytes);
    /// Moves the oldest complete frame into `frame`; false when none is complete.
    [[nodiscard]] bool Next(Frame& frame);
    /// True while part of a frame has been read (a peer that ends here cut a frame short).
    [[nodiscard]] bool InsideFrame() const noexcept { return filled_ > 0 || inPayload_; }

  private:
    Common::Error failure_;
    uint8_t header_[kHeaderBytes] = {};
    size_t filled_ = 0;  // header bytes read
    bool inPayload_ = false;
    Frame current_;
    std::deque<Frame> complete_;
};

}  // namespace KivoWire
