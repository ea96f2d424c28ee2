// KivoWire::SocketLink: a link (link.h) straight over a connected, non-blocking stream socket:
// a Unix socket of this machine, whose peer the kernel names.
//
// Sends use MSG_NOSIGNAL: a peer that has gone never raises SIGPIPE.
//
// Thread-safety: one thread at a time.
#pragma once

#include "platform/wire/link.h"

namespace KivoWire {

/// A socket call that failed (the system's error is the reason).
inline constexpr uint32_t kSocketFailure = 0xAE0013;

/// kSocketFailure at `place` for the socket call that failed with errno `code` while `doing`
/// ("reading", "writing", ...).
[[nodiscard]] Common::Error SocketFailure(const Common::SourceLocation& place, int code,
                                          const char* doing);

/// Reads from `fd` into `chunk`; the count (0 at the end of the stream), or -1 with errno
/// (EAGAIN when nothing waits). EINTR is retried.
[[nodiscard]] long ReceiveSome(int fd, std::span<uint8_t> chunk) noexcept;
/// Sends `bytes` to `fd` without blocking; the count sent, or -1 with errno. EINTR is retried.
[[nodiscard]] long SendSome(int fd, std::span<const uint8_t> bytes) noexcept;

/// See the file comment.
class SocketLink final : public Link {
  public:
    /// Takes `fd` (connected, non-blocking).
    explicit SocketLink(int fd) : fd_(fd) {}
    ~SocketLink() override;

    [[nodiscard]] int Descriptor() const noexcept override { return fd_; }
    [[nodiscard]] LinkStatus Receive(std::vector<uint8_t>& received, size_t budget,
                                     Common::Error& failure) override;
    [[nodiscard]] LinkStatus Send(std::span<const uint8_t> bytes, size_t& taken,
                                  Common::Error& failure) override;
    [[nodiscard]] size_t Held() const noexcept override { return 0; }
    [[nodiscard]] bool ReadyToSend() const noexcept override { return true; }

  private:
    const int fd_;
};

}  // namespace KivoWire
