#include "platform/ipc_client/connections.h"

#include <string>
#include <utility>

#include "core/common/assert.h"
#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "platform/ipc_client/call_job.h"
#include "platform/ipc_client/library_errors.h"

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

class PlatformBinder final : public Binding::Binder {
  public:
    explicit PlatformBinder(std::shared_ptr<LibraryCore> core) : core_(std::move(core)) {}

    Common::Error Bind(const Binding::ConnectionParameters& parameters,
                       std::unique_ptr<Binding::ServiceBrowser>& browser) override {
        browser.reset();
        if (core_->IsShutDown()) {
            return NotInitialized(COMMON_PLACE("IPCClient::Binder::Bind"));
        }
        const std::u16string host = Common::ToUtf16(parameters.host);
        return Common::Error(
            COMMON_PLACE("IPCClient::Binder::Bind"), Binding::kIpcClientNoRemoteHosts,
            Common::FormatCatalogMessage(
                Common::GetCatalogMessage(Common::kMsgIpcClientNoRemoteHosts), {host}));
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
