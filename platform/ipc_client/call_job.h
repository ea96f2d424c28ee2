// IPCClient::CallState and PlatformCallJob: one call through the library, keeping the contract
// of core/ipc_client_api/call_job.h over any transport.
//
// A call moves Ready -> Preparing (packing, on the caller's thread) -> Running (Run waits) or
// Started (a handler waits) -> Replied -> Ended, or straight to Ended when it is canceled. Exactly
// one of the reply and the cancel wins the move out of Running or Started, under the call's lock:
// the loser does nothing, so a late reply is dropped unread, and a cancel after the reply is too
// late to matter. The winner releases the lock before anything else runs: the request reads the
// reply, and a handler hears the end, with no lock of the library held.
//
// For a started call, the reply's thread (a library thread) reads the reply and calls the
// handler; a cancel queues the handler's canceled ending on the library's pool, so Cancel never
// waits for a handler and a handler never runs inside Start. The request is destroyed before
// the handler is called; the state itself is shared by the job and the threads that still hold
// it, so a handler may destroy the job inside OnFinished.
//
// Thread-safety: Run and Start once, from one thread; Cancel from any thread, any number of times.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/ipc_client_api/call_job.h"
#include "core/ipc_client_api/request.h"
#include "platform/ipc_client/library_core.h"

namespace IPCClient {

/// The shared state of one call; see the file comment.
class CallState : public std::enable_shared_from_this<CallState> {
  public:
    /// One call over connection `connectionId` (the access point's).
    CallState(std::shared_ptr<LibraryCore> core, uint32_t connectionId,
              std::unique_ptr<Binding::Request> request);

    Common::Error Run();
    Common::Error Start(JobManagement::JobHandler& handler);
    void Cancel() noexcept;

  private:
    enum class Phase { Ready, Preparing, Running, Started, Replied, Ended };

    // Packs the request and hands it to the transport, for Run (`handler` null) or Start.
    Common::Error Send(JobManagement::JobHandler* handler);
    // The transport's end of the exchange.
    void OnReply(const Common::Error& failure, std::vector<uint8_t> reply);
    // The outcome of an exchange that won: the transport's failure, else what the reply reports.
    Common::Error ReadReply(const Common::Error& failure, const std::vector<uint8_t>& reply);
    // Tells the handler of a started call how it ended.
    void Finish(JobManagement::JobHandler& handler, const Common::Error& outcome) noexcept;

    const std::shared_ptr<LibraryCore> core_;
    const uint32_t connectionId_;
    std::unique_ptr<Binding::Request> request_;
    uint32_t componentId_ = 0;
    uint32_t methodId_ = 0;

    std::mutex lock_;
    std::condition_variable replied_;
    Phase phase_ = Phase::Ready;
    bool cancelAsked_ = false;
    JobManagement::JobHandler* handler_ = nullptr;
    Common::Error transportFailure_;    // for Run, once Replied
    std::vector<uint8_t> replyPacket_;  // for Run, once Replied
};

/// The call job that the library's access points give out.
class PlatformCallJob final : public Binding::CallJob {
  public:
    explicit PlatformCallJob(std::shared_ptr<CallState> state) : state_(std::move(state)) {}

    Common::Error Run() override { return state_->Run(); }
    Common::Error Start(JobManagement::JobHandler& handler) override {
        return state_->Start(handler);
    }
    Common::Error Cancel() override {
        state_->Cancel();
        return Common::Error();
    }

  private:
    const std::shared_ptr<CallState> state_;
};

}  // namespace IPCClient
