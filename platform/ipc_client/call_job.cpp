#include "platform/ipc_client/call_job.h"

#include <exception>
#include <new>
#include <utility>

#include "core/common/assert.h"
#include "core/common/catalog.h"
#include "core/common/trace.h"
#include "core/ipc_client_api/ipc_client.h"
#include "platform/ipc_client/library_errors.h"

namespace IPCClient {
namespace {

// A handler that throws has no one to report to: its error goes to the trace. A standard
// exception is traced as kIpcClientUnexpectedException, unless even that cannot be made.
template <class Slot>
void CallSlot(Slot&& slot) noexcept {
    try {
        slot();
    } catch (const Common::Error& error) {
        Common::TraceError(1, error);
    } catch (const std::exception& exception) {
        try {
            Common::TraceError(
                1, UnexpectedException(COMMON_PLACE("IPCClient::CallJob::Finish"), exception));
        } catch (const std::bad_alloc&) {
            // Out of memory: nothing can be traced, and the handler's next slot still follows.
        }
    }
}

}  // namespace

CallState::CallState(std::shared_ptr<LibraryCore> core, uint32_t connectionId,
                     std::unique_ptr<Binding::Request> request)
    : core_(std::move(core)), connectionId_(connectionId), request_(std::move(request)) {
    COMMON_ASSERT(request_ != nullptr);
    if (request_ != nullptr) {
        componentId_ = request_->GetComponentID();
        methodId_ = request_->GetMethodID();
    }
}

Common::Error CallState::Run() {
    const Common::Error sent = Send(nullptr);
    if (!sent.IsEmpty()) {
        return sent;
    }
    std::unique_lock<std::mutex> hold(lock_);
    replied_.wait(hold, [this] { return phase_ != Phase::Running; });
    if (phase_ != Phase::Replied) {
        return Canceled(COMMON_PLACE("IPCClient::CallJob::Run"));
    }
    phase_ = Phase::Ended;
    const Common::Error failure = std::move(transportFailure_);
    const std::vector<uint8_t> reply = std::move(replyPacket_);
    hold.unlock();
    return ReadReply(failure, reply);
}

Common::Error CallState::Start(JobManagement::JobHandler& handler) {
    return Send(&handler);
}

void CallState::Cancel() noexcept {
    // Holds the state while it is touched: the reply's thread may end the call and its handler
    // destroy the job meanwhile.
    const std::shared_ptr<CallState> self = shared_from_this();
    std::unique_lock<std::mutex> hold(lock_);
    cancelAsked_ = true;
    if (phase_ == Phase::Running) {
        phase_ = Phase::Ended;
        hold.unlock();
        core_->Untrack(this);
        replied_.notify_all();
    } else if (phase_ == Phase::Started) {
        phase_ = Phase::Ended;
        JobManagement::JobHandler* const handler = handler_;
        hold.unlock();
        core_->Untrack(this);
        const Common::Error canceled = Canceled(COMMON_PLACE("IPCClient::CallJob::Cancel"));
        const Common::Error queued =
            core_->Pool().Submit([self, handler, canceled] { self->Finish(*handler, canceled); });
        if (!queued.IsEmpty()) {
            // Only after the pool has stopped, when no thread of the library is left to do it.
            Finish(*handler, canceled);
        }
    }
}

Common::Error CallState::Send(JobManagement::JobHandler* handler) {
    // Holds the state until Send returns: a started call may end, and its handler destroy the
    // job, before the transport's Send has returned.
    const std::shared_ptr<CallState> self = shared_from_this();
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (phase_ != Phase::Ready) {
            return Common::Error(COMMON_PLACE("IPCClient::CallJob::Send"),
                                 Binding::kIpcClientJobAlreadyUsed,
                                 Common::GetCatalogMessage(Common::kMsgIpcClientJobAlreadyUsed));
        }
        if (cancelAsked_) {
            phase_ = Phase::Ended;
            return Canceled(COMMON_PLACE("IPCClient::CallJob::Send"));
        }
        phase_ = Phase::Preparing;
    }
    Common::Error error;
    std::vector<uint8_t> packet;
    try {
        packet = request_->Pack();
    } catch (const Common::Error& packFailure) {
        error = packFailure;
    } catch (const std::exception& exception) {
        error = UnexpectedException(COMMON_PLACE("IPCClient::CallJob::Send"), exception);
    }
    bool tracked = false;
    if (error.IsEmpty()) {
        error = core_->Track(self);
        tracked = error.IsEmpty();
    }
    if (error.IsEmpty()) {
        std::lock_guard<std::mutex> hold(lock_);
        if (cancelAsked_) {
            error = Canceled(COMMON_PLACE("IPCClient::CallJob::Send"));
        } else {
            phase_ = handler == nullptr ? Phase::Running : Phase::Started;
            handler_ = handler;
        }
    }
    if (error.IsEmpty()) {
        error = core_->GetTransport().Send(
            connectionId_, componentId_, methodId_, std::move(packet),
            [self](const Common::Error& failure, std::vector<uint8_t> reply) {
                self->OnReply(failure, std::move(reply));
            });
        std::lock_guard<std::mutex> hold(lock_);
        if (error.IsEmpty() || phase_ == Phase::Ended) {
            // Sent; or a cancel came first and ends the call on its own.
            return Common::Error();
        }
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        phase_ = Phase::Ended;
    }
    if (tracked) {
        core_->Untrack(this);
    }
    return error;
}

void CallState::OnReply(const Common::Error& failure, std::vector<uint8_t> reply) {
    std::unique_lock<std::mutex> hold(lock_);
    if (phase_ == Phase::Running) {
        phase_ = Phase::Replied;
        transportFailure_ = failure;
        replyPacket_ = std::move(reply);
        hold.unlock();
        core_->Untrack(this);
        replied_.notify_all();
    } else if (phase_ == Phase::Started) {
        phase_ = Phase::Ended;
        JobManagement::JobHandler* const handler = handler_;
        hold.unlock();
        core_->Untrack(this);
        Finish(*handler, ReadReply(failure, reply));
    }
    // Otherwise the call was canceled: the reply is dropped unread.
}

Common::Error CallState::ReadReply(const Common::Error& failure,
                                   const std::vector<uint8_t>& reply) {
    if (!failure.IsEmpty()) {
        return failure;
    }
    try {
        return request_->DeserializeReply(reply);
    } catch (const Common::Error& error) {
        return error;
    } catch (const std::exception& exception) {
        return UnexpectedException(COMMON_PLACE("IPCClient::CallJob::ReadReply"), exception);
    }
}

void CallState::Finish(JobManagement::JobHandler& handler, const Common::Error& outcome) noexcept {
    // The request goes first: once OnFinished begins nothing of the call may be touched.
    request_.reset();
    if (outcome.IsEmpty()) {
        CallSlot([&] { handler.OnSucceeded(); });
    } else {
        CallSlot([&] { handler.OnFailed(outcome); });
    }
    CallSlot([&] { handler.OnFinished(); });
}

}  // namespace IPCClient
