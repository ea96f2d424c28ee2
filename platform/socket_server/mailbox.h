// KivoServer::Mailbox: where the components' threads leave replies, and the workers the verdicts
// of logins, for the server's I/O thread.
//
// Post queues one answer and wakes the I/O thread through the eventfd; Take hands the queue
// over. Every reply callback holds the mailbox, so a component that answers after the server
// has stopped still finds it: once closed it drops what is posted.
//
// Thread-safety: Post from any thread; Take and Close from the I/O thread (Close also after it
// has ended).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace KivoServer {

/// What an answer carries.
enum class AnswerKind : uint8_t {
    Reply,          // a call's reply packet, or its failure
    LoginAccepted,  // a login's password is the user's
    LoginRefused,   // a login's user or password is not accepted
};

/// One call's answer, or one login's verdict, for the I/O thread.
struct Answer {
    uint64_t connection = 0;
    uint64_t callId = 0;
    Common::Error failure;
    std::vector<uint8_t> reply;
    AnswerKind kind = AnswerKind::Reply;
};

/// See the file comment.
class Mailbox : private Common::NonCopyable {
  public:
    /// Takes `eventFd` (non-blocking), which wakes the I/O thread.
    explicit Mailbox(int eventFd) : eventFd_(eventFd) {}
    ~Mailbox();

    [[nodiscard]] int Descriptor() const noexcept { return eventFd_; }
    /// Queues `answer` and wakes the I/O thread; drops it once closed.
    void Post(Answer answer) noexcept;
    /// Wakes the I/O thread without an answer.
    void Wake() noexcept;
    /// Clears the eventfd and returns what was posted.
    [[nodiscard]] std::vector<Answer> Take();
    /// Drops what waits and every later Post.
    void Close() noexcept;

  private:
    const int eventFd_;
    std::mutex lock_;
    std::vector<Answer> answers_;
    bool closed_ = false;
};

}  // namespace KivoServer
