#include "platform/wire/framed_socket.h"

namespace KivoWire {

FramedSocket::Status FramedSocket::ReadAvailable(std::vector<Frame>& frames, Common::Error& failure,
                                                 size_t budget) {
    incoming_.clear();
    const Status status = link_->Receive(incoming_, budget, failure);
    received_ += incoming_.size();
    // What came before a failure or the end still counts.
    if (!incoming_.empty()) {
        if (Common::Error bad = reader_.Feed(incoming_); !bad.IsEmpty()) {
            failure = std::move(bad);
            return Status::Failed;
        }
    }
    for (Frame frame; reader_.Next(frame);)
        frames.push_back(std::move(frame));
    return status;
}

void FramedSocket::Queue(std::vector<uint8_t> frame) {
    pending_ += frame.size();
    output_.push_back(std::move(frame));
}

FramedSocket::Status FramedSocket::Flush(Common::Error& failure) {
    for (;;) {
        std::span<const uint8_t> next;
        if (!output_.empty())
            next = std::span<const uint8_t>(output_.front()).subspan(sentOfFirst_);
        size_t taken = 0;
        const Status status = link_->Send(next, taken, failure);
        sentOfFirst_ += taken;
        pending_ -= taken;
        if (!output_.empty() && sentOfFirst_ == output_.front().size()) {
            output_.pop_front();
            sentOfFirst_ = 0;
        }
        if (status != Status::Open)
            return status;
        if (output_.empty() || !link_->ReadyToSend() || (taken == 0 && !next.empty()))
            return Status::Open;
    }
}

}  // namespace KivoWire
