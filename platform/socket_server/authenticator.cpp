#include "platform/socket_server/authenticator.h"

#include <string.h>

#include <algorithm>
#include <utility>

namespace KivoServer {

void Wipe(std::string& secret) noexcept {
    ::explicit_bzero(secret.data(), secret.size());
    secret.clear();
}

void Wipe(std::vector<uint8_t>& secret) noexcept {
    ::explicit_bzero(secret.data(), secret.size());
    secret.clear();
}

Authenticator::Authenticator(std::shared_ptr<KivoSecurity::PasswordVerifier> verifier,
                             IPCClient::WorkerPool& pool, std::shared_ptr<Mailbox> mailbox,
                             size_t maxHashing)
    : verifier_(std::move(verifier)),
      pool_(pool),
      mailbox_(std::move(mailbox)),
      maxHashing_(std::max<size_t>(maxHashing, 1)) {}

Authenticator::~Authenticator() {
    for (Login& login : queued_)
        Wipe(login.password);
}

void Authenticator::Check(uint64_t connection, std::string user, std::string password) {
    Login login{connection, std::move(user), std::move(password)};
    if (running_ < maxHashing_)
        Start(std::move(login));
    else
        queued_.push_back(std::move(login));
}

void Authenticator::Finished() {
    if (running_ > 0)
        --running_;
    if (!queued_.empty() && running_ < maxHashing_) {
        Login next = std::move(queued_.front());
        queued_.pop_front();
        Start(std::move(next));
    }
}

void Authenticator::Forget(uint64_t connection) noexcept {
    const auto found = std::find_if(queued_.begin(), queued_.end(), [connection](const Login& l) {
        return l.connection == connection;
    });
    if (found == queued_.end())
        return;
    Wipe(found->password);
    queued_.erase(found);
}

void Authenticator::Start(Login login) {
    ++running_;
    const uint64_t connection = login.connection;
    Common::Error failure = pool_.Submit(
        [verifier = verifier_, mailbox = mailbox_, login = std::move(login)]() mutable {
            bool accepted = false;
            try {
                accepted = verifier->Verify(login.user, login.password);
            } catch (...) {
                accepted = false;  // a check that cannot finish refuses
            }
            Wipe(login.password);
            Answer verdict;
            verdict.connection = login.connection;
            verdict.kind = accepted ? AnswerKind::LoginAccepted : AnswerKind::LoginRefused;
            mailbox->Post(std::move(verdict));
        });
    if (failure.IsEmpty())
        return;
    Answer verdict;
    verdict.connection = connection;
    verdict.failure = std::move(failure);
    verdict.kind = AnswerKind::LoginRefused;
    mailbox_->Post(std::move(verdict));
}

}  // namespace KivoServer
