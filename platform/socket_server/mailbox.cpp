#include "platform/socket_server/mailbox.h"

#include <unistd.h>

#include <utility>

namespace KivoServer {

Mailbox::~Mailbox() {
    ::close(eventFd_);
}

void Mailbox::Post(Answer answer) noexcept {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (closed_)
            return;
        answers_.push_back(std::move(answer));
        if (answers_.size() > 1)
            return;  // the first one already woke the I/O thread
    }
    Wake();
}

void Mailbox::Wake() noexcept {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(eventFd_, &one, sizeof one);
}

std::vector<Answer> Mailbox::Take() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(eventFd_, &count, sizeof count);
    std::lock_guard<std::mutex> hold(lock_);
    return std::exchange(answers_, {});
}

void Mailbox::Close() noexcept {
    std::vector<Answer> dropped;
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
    dropped.swap(answers_);
}

}  // namespace KivoServer
