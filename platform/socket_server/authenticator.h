// KivoServer::Authenticator: checks the passwords of TCP logins on the server's worker pool, at
// most `maxHashing` at once, so that a flood of logins cannot take the workers that serve calls
// (each check is a slow key derivation).
//
// Check starts a derivation at once while fewer than the bound run, else queues it behind the
// checks that came before it (first come, first checked). Every started check posts one verdict
// to the mailbox, also when its connection has gone meanwhile: AnswerKind::LoginAccepted, or
// LoginRefused (with `failure` set when the check could not be run at all). The I/O thread calls
// Finished for each verdict it takes, which starts the next queued check. Forget drops the queued
// check of a connection that closed. Passwords are wiped from memory once checked or dropped.
//
// Thread-safety: one thread (the server's I/O thread); the checks run on the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/common/noncopyable.h"
#include "platform/ipc_client/worker_pool.h"
#include "platform/security/users_file.h"
#include "platform/socket_server/mailbox.h"

namespace KivoServer {

/// Overwrites the bytes of a secret before they are let go.
void Wipe(std::string& secret) noexcept;
void Wipe(std::vector<uint8_t>& secret) noexcept;

/// See the file comment.
class Authenticator : private Common::NonCopyable {
  public:
    Authenticator(std::shared_ptr<KivoSecurity::PasswordVerifier> verifier,
                  IPCClient::WorkerPool& pool, std::shared_ptr<Mailbox> mailbox, size_t maxHashing);
    /// Wipes the passwords still queued.
    ~Authenticator();

    /// Checks `password` for `user` on behalf of `connection` (see the file comment).
    void Check(uint64_t connection, std::string user, std::string password);
    /// A verdict has been taken: the next queued check starts.
    void Finished();
    /// Drops the queued check of `connection`, if any.
    void Forget(uint64_t connection) noexcept;

    /// Checks on the pool and checks queued.
    [[nodiscard]] size_t Running() const noexcept { return running_; }
    [[nodiscard]] size_t Queued() const noexcept { return queued_.size(); }

  private:
    struct Login {
        uint64_t connection = 0;
        std::string user;
        std::string password;
    };

    void Start(Login login);

    const std::shared_ptr<KivoSecurity::PasswordVerifier> verifier_;
    IPCClient::WorkerPool& pool_;
    const std::shared_ptr<Mailbox> mailbox_;
    const size_t maxHashing_;
    size_t running_ = 0;
    std::deque<Login> queued_;
};

}  // namespace KivoServer
