#include "enterprise/common/kivo/client/async_request.h"

#include <exception>
#include <utility>

#include "core/common/assert.h"
#include "core/common/trace.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/operation_description.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"

namespace Kivo {
namespace {

// The trace level of a cancel that the library refused: nobody else hears of it.
constexpr uint32_t kRefusedCancelTraceLevel = 4;

// Asks the library to end the call. A refusal leaves the call to end by itself, which the
// caller waits for in any case, so it is only traced.
void CancelCall(Binding::CallJob& job) {
    const Common::Error refused = job.Cancel();
    if (!refused.IsEmpty())
        Common::TraceError(kRefusedCancelTraceLevel, refused);
}

// Runs `call` (a runner's OnReplied, or its caller's handler) so that nothing it throws reaches
// the library's thread: the failure is traced and the outcome stays as it was.
template <class Call>
void CallTraced(std::u16string_view operation, Call&& call) noexcept {
    try {
        call();
    } catch (const Common::Error& thrown) {
        Detail::TraceCallbackError(thrown);
    } catch (const std::exception& thrown) {
        Detail::TraceCallbackError(Async::MakeOperationExceptionError(
            COMMON_PLACE("Kivo::SmartRequestRunner::Completed"),
            Async::kStdExceptionDuringOperation, operation, {}, thrown.what()));
    }
}

}  // namespace

AsyncRequest::AsyncRequest(std::shared_ptr<Binding::AccessPoint> accessPoint,
                           std::unique_ptr<Binding::Request> request, Async::ActionHandler& target)
    : accessPoint_(std::move(accessPoint)), target_(&target) {
    error_ = accessPoint_->Call(std::move(request), job_);
}

AsyncRequest::~AsyncRequest() {
    libraryDone_.Wait();
}

void AsyncRequest::Start() {
    if (error_.IsEmpty()) {
        COMMON_ASSERT_TEXT(job_ != nullptr, "Job.get()");
        if (job_ == nullptr) {
            error_ = Async::InvalidResultError();
        } else {
            libraryDone_.Reset();
            const Common::Error started = job_->Start(*this);
            if (started.IsEmpty())
                return;
            // Nothing was started: the library will not call back.
            error_ = started;
            libraryDone_.Set();
        }
    }
    Finish();
}

void AsyncRequest::Cancel() {
    Async::ActionHandler* const target = target_.exchange(nullptr);
    if (target != nullptr && job_ != nullptr) {
        // Its outcome reaches OnFailed; the target hears the cancellation below either way.
        CancelCall(*job_);
    }
    libraryDone_.Wait();
    if (target != nullptr)
        target->Completed(Async::CanceledError());
}

void AsyncRequest::Abandon() {
    if (target_.exchange(nullptr) != nullptr && job_ != nullptr)
        CancelCall(*job_);
    libraryDone_.Wait();
}

void AsyncRequest::OnSucceeded() {
    error_ = Common::Error();
}

void AsyncRequest::OnFailed(const Common::Error& error) {
    error_ = error;
}

void AsyncRequest::OnFinished() {
    Finish();
}

void AsyncRequest::Finish() {
    Async::ActionHandler* const target = target_.exchange(nullptr);
    const Common::Error error = error_;
    // From here on the request may be destroyed by whoever waits on the event or hears the target.
    libraryDone_.Set();
    if (target != nullptr)
        target->Completed(error);
}

RequestRunner::~RequestRunner() {
    if (const std::shared_ptr<AsyncRequest> request = GetRequest())
        request->Abandon();
}

void RequestRunner::Cancel() {
    if (const std::shared_ptr<AsyncRequest> request = GetRequest())
        request->Cancel();
}

void RequestRunner::SetRequest(std::shared_ptr<AsyncRequest> request) {
    std::lock_guard<std::mutex> hold(requestLock_);
    request_ = std::move(request);
}

std::shared_ptr<AsyncRequest> RequestRunner::GetRequest() const {
    std::lock_guard<std::mutex> hold(requestLock_);
    return request_;
}

SmartRequestRunner::SmartRequestRunner(std::shared_ptr<Binding::AccessPoint> accessPoint,
                                       Async::ActionHandler& handler)
    : accessPoint_(std::move(accessPoint)), handler_(handler) {}

void SmartRequestRunner::StartRequest() {
    std::unique_ptr<Binding::Request> request;
    try {
        request = CreateRequest();
    } catch (const Common::Error& failure) {
        Completed(failure);
        return;
    }
    inFlight_ = weak_from_this().lock();
    Async::ActionHandler& target = *this;
    auto asyncRequest = std::make_shared<AsyncRequest>(accessPoint_, std::move(request), target);
    SetRequest(asyncRequest);
    asyncRequest->Start();
}

void SmartRequestRunner::Completed(const Common::Error& error) {
    // Keeps this runner alive to the end of the call even when the caller's handler drops it.
    const std::shared_ptr<SmartRequestRunner> self = std::move(inFlight_);
    Common::Error outcome = error;
    if (outcome.IsEmpty())
        CallTraced(u"OnReplied", [&] { outcome = OnReplied(); });
    CallTraced(u"Completed", [&] { handler_.Completed(outcome); });
}

}  // namespace Kivo
