#include "tests/support/frame_peer.h"

#include <gtest/gtest.h>
#include <poll.h>

namespace KivoTestSupport {

using Clock = std::chrono::steady_clock;
using Status = KivoWire::FramedSocket::Status;

void FramePeer::Send(std::vector<uint8_t> bytes) {
    socket.Queue(std::move(bytes));
    for (const auto deadline = Clock::now() + kBound; !ended && socket.Pending() > 0;) {
        Step(deadline, true);
    }
}

KivoWire::Frame FramePeer::Next(bool withPings) {
    for (const auto deadline = Clock::now() + kBound;; Step(deadline)) {
        while (!frames_.empty()) {
            KivoWire::Frame frame = std::move(frames_.front());
            frames_.pop_front();
            if (withPings || frame.header.kind != KivoWire::FrameKind::Ping) {
                return frame;
            }
        }
        if (ended) {
            return KivoWire::Frame{{kEnded}, {}};
        }
    }
}

void FramePeer::Step(Clock::time_point deadline, bool sending) {
    Common::Error failure;
    ended = ended || socket.Flush(failure) == Status::Failed;
    if (sending && socket.Pending() == 0) {
        return;
    }
    pollfd ready{socket.Descriptor(),
                 static_cast<short>(POLLIN | (socket.WantsWritable() ? POLLOUT : 0)), 0};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (ended || left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) < 0) {
        EXPECT_TRUE(ended) << "no answer within the bound";
        ended = true;
        return;
    }
    if ((ready.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        return;
    }
    std::vector<KivoWire::Frame> got;
    const Status status = socket.ReadAvailable(got, failure);
    for (const KivoWire::Frame& frame : got) {
        ++heard[frame.header.kind];
    }
    frames_.insert(frames_.end(), got.begin(), got.end());
    ended = status == Status::Closed || status == Status::Failed;
}

}  // namespace KivoTestSupport
