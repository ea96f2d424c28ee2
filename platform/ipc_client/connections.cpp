#include "platform/ipc_client/connections.h"

#include <mutex>
#include <utility>

#include "core/common/assert.h"
#include "core/common/catalog.h"
#include "platform/ipc_client/call_job.h"
#include "platform/ipc_client/library_errors.h"
#include "platform/ipc_client/remote_host.h"

namespace IPCClient {
namespace {

class PlatformAccessPoint final : public Binding::AccessPoint {
  public:
    // Takes the connection `connectionId` that the transport opened.
    PlatformAccessPoint(std::shared_ptr<LibraryCore> core, uint32_t connectionId)
        : core_(std::move(core)), connectionId_(connectionId) {}
    // The service releases what it kept for this connection and answers its waiting calls.
    ~PlatformAccessPoint() override { core_->GetTransport().CloseConnection(connectionId_); }

    Common::Error Call(std::unique_ptr<Binding::Request> request,
                       std::unique_ptr<Binding::CallJob>& job) override {
        job.reset();
        COMMON_ASSERT(request != nullptr);
        if (request == nullptr) {
            return Common::Error(COMMON_PLACE("IPCClient::AccessPoint::Call"),
                                 Binding::kIpcClientNoRequest,
                                 Common::GetCatalogMessage(Common::kMsgRequestNotBuilt));
        }
        job = std::make_unique<PlatformCallJob>(
            std::make_shared<CallState>(core_, connectionId_, std::move(request)));
        return Common::Error();
    }

    uint32_t GetConnectionID() const override { return connectionId_; }

    Common::Error GetComponentVersion(uint32_t componentId, uint32_t& version) override {
        return core_->GetTransport().GetComponentVersion(connectionId_, componentId, version);
    }

  private:
    const std::shared_ptr<LibraryCore> core_;
    const uint32_t connectionId_;
};

class LocalBrowser final : public Binding::ServiceBrowser {
  public:
    explicit LocalBrowser(std::shared_ptr<LibraryCore> core) : core_(std::move(core)) {}

    Common::Error Connect(uint32_t serviceId, uint32_t /*flags*/,
                          std::unique_ptr<Binding::AccessPoint>& accessPoint) override {
        accessPoint.reset();
        if (core_->IsShutDown()) {
            return NotInitialized(COMMON_PLACE("IPCClient::ServiceBrowser::Connect"));
        }
        uint32_t connectionId = 0;
        const Common::Error error = core_->GetTransport().Connect(serviceId, connectionId);
        if (error.IsEmpty()) {
            accessPoint = std::make_unique<PlatformAccessPoint>(core_, connectionId);
        }
        return error;
    }

  private:
    const std::shared_ptr<LibraryCore> core_;
};

// The browser of a remote host. It keeps the login: its first Connect greets the service over
// the connection that Bind opened, each later one opens and logs in anew.
class RemoteBrowser final : public Binding::ServiceBrowser {
  public:
    RemoteBrowser(std::shared_ptr<LibraryCore> core, std::unique_ptr<const Login> login,
                  OpenedSocket loggedIn)
        : core_(std::move(core)), login_(std::move(login)), loggedIn_(std::move(loggedIn)) {}

    Common::Error Connect(uint32_t serviceId, uint32_t /*flags*/,
                          std::unique_ptr<Binding::AccessPoint>& accessPoint) override {
        accessPoint.reset();
        if (core_->IsShutDown()) {
            return NotInitialized(COMMON_PLACE("IPCClient::RemoteBrowser::Connect"));
        }
        const Deadline deadline = Deadline::After(core_->Sockets().GetIntervals().login);
        OpenedSocket opened;
        {
            std::lock_guard<std::mutex> hold(lock_);
            std::swap(opened, loggedIn_);
        }
        Common::Error failed;
        if (opened.socket == nullptr) {
            failed = OpenHostConnection(*login_, deadline, opened);
        }
        if (failed.IsEmpty()) {
            failed = GreetService(serviceId, deadline, opened);
        }
        if (!failed.IsEmpty()) {
            return ServiceUnreachable(COMMON_PLACE("IPCClient::RemoteBrowser::Connect"), serviceId,
                                      login_->host.Display(), failed);
        }
        uint32_t connectionId = 0;
        if (failed = core_->Sockets().Adopt(std::move(opened), connectionId); !failed.IsEmpty()) {
            return failed;
        }
        accessPoint = std::make_unique<PlatformAccessPoint>(core_, connectionId);
        return Common::Error();
    }

  private:
    const std::shared_ptr<LibraryCore> core_;
    const std::unique_ptr<const Login> login_;
    std::mutex lock_;
    OpenedSocket loggedIn_;  // until the first Connect takes it
};

class PlatformBinder final : public Binding::Binder {
  public:
    explicit PlatformBinder(std::shared_ptr<LibraryCore> core) : core_(std::move(core)) {}

    Common::Error Bind(const Binding::ConnectionParameters& parameters,
                       std::unique_ptr<Binding::ServiceBrowser>& browser) override {
        browser.reset();
        if (core_->IsShutDown()) {
            return NotInitialized(COMMON_PLACE("IPCClient::Binder::Bind"));
        }
        auto login = std::make_unique<Login>();
        if (Common::Error bad = ReadLogin(parameters, *login); !bad.IsEmpty()) {
            return bad;
        }
        OpenedSocket opened;
        if (Common::Error failed = OpenHostConnection(
                *login, Deadline::After(core_->Sockets().GetIntervals().login), opened);
            !failed.IsEmpty()) {
            return failed;
        }
        browser = std::make_unique<RemoteBrowser>(core_, std::move(login), std::move(opened));
        return Common::Error();
    }

  private:
    const std::shared_ptr<LibraryCore> core_;
};

}  // namespace

std::unique_ptr<Binding::ServiceBrowser> MakeLocalBrowser(std::shared_ptr<LibraryCore> core) {
    return std::make_unique<LocalBrowser>(std::move(core));
}

std::unique_ptr<Binding::Binder> MakeBinder(std::shared_ptr<LibraryCore> core) {
    return std::make_unique<PlatformBinder>(std::move(core));
}

}  // namespace IPCClient
