#include "enterprise/common/kivo/tools/dump/connection.h"

#include <string>
#include <utility>

#include "core/common/catalog.h"
#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"
#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/kivo/client/remoting.h"
#include "enterprise/common/kivo/scoped_post_office.h"
#include "enterprise/common/security/client/init.h"
#include "platform/store/connection.h"

namespace KivoDump {
namespace {

// A kConnectionFailed error at `place`: the catalogue text `message` followed by `service`, with
// `reason` as reason (an empty one adds nothing).
Common::Error ConnectionFailed(const Common::SourceLocation& place, uint32_t message,
                               std::string_view service, const Common::Error& reason) {
    Common::Error failed(place, kConnectionFailed,
                         Common::GetCatalogMessage(message) + Common::ToUtf16(service));
    return failed.Add(reason);
}

// The parameters of Bind: the host unchanged, user and password decoded from UTF-8. Throws
// kConnectionFailed for credentials that are not UTF-8.
Binding::ConnectionParameters MakeConnectionParameters(const Arguments& arguments) {
    Binding::ConnectionParameters parameters{arguments.host, {}, {}};
    if (!Common::Utf8ToUtf16(arguments.user, parameters.user) ||
        !Common::Utf8ToUtf16(arguments.password, parameters.password)) {
        throw ConnectionFailed(COMMON_PLACE("CreateAccessPoint"), Common::kMsgCredentialsNotUtf8,
                               {}, Common::Error());
    }
    return parameters;
}

}  // namespace

uint32_t ServiceId(std::string_view service) {
    if (service == "TUK") {
        return kManagedMachineId;
    }
    if (service == "YEB") {
        return kStorageNodeId;
    }
    if (service == "KIVO") {
        return kDataManagementId;
    }
    return kManagementServerId;
}

std::unique_ptr<Binding::AccessPoint> CreateAccessPoint(const Arguments& arguments) {
    const uint32_t serviceId = ServiceId(arguments.service);
    std::unique_ptr<Binding::AccessPoint> accessPoint;
    if (serviceId == kDataManagementId || arguments.host == "localhost") {
        const Common::Error error = Binding::Detail::ConnectLocalImpl(serviceId, 0, accessPoint);
        if (!error.IsEmpty() || accessPoint == nullptr) {
            throw ConnectionFailed(COMMON_PLACE("CreateAccessPoint"),
                                   Common::kMsgLocalConnectionFailed, arguments.service, error);
        }
        return accessPoint;
    }

    const Binding::ConnectionParameters parameters = MakeConnectionParameters(arguments);
    std::unique_ptr<Binding::Binder> binder;
    std::unique_ptr<Binding::ServiceBrowser> browser;
    Common::Error error = IPCClient_CreateBinder(binder);
    if (error.IsEmpty() && binder != nullptr) {
        error = binder->Bind(parameters, browser);
    }
    if (!error.IsEmpty() || browser == nullptr) {
        throw ConnectionFailed(COMMON_PLACE("CreateAccessPoint"), Common::kMsgBindToHostFailed, {},
                               error);
    }
    error = browser->Connect(serviceId, 0, accessPoint);
    if (!error.IsEmpty() || accessPoint == nullptr) {
        throw ConnectionFailed(COMMON_PLACE("CreateAccessPoint"), Common::kMsgConnectFailed,
                               arguments.service, error);
    }
    // The browser, then the binder, go as the function returns: the access point needs neither.
    return accessPoint;
}

std::unique_ptr<Kivo::PostOffice> CreateRemotePostOffice(const Arguments& arguments) {
    std::shared_ptr<Binding::AccessPoint> accessPoint = CreateAccessPoint(arguments);
    std::unique_ptr<Kivo::PostOffice> postOffice =
        Kivo::CreateRemoteViewProvider(std::move(accessPoint));
    if (postOffice == nullptr) {
        throw Common::Error(COMMON_PLACE("CreateRemotePostOffice"), kRemotePostOfficeFailed,
                            Common::GetCatalogMessage(Common::kMsgRemotePostOfficeFailed));
    }
    return postOffice;
}

std::unique_ptr<Kivo::PostOffice> CreatePostOffice(const Arguments& arguments) {
    if (arguments.service == "DB") {
        return Kivo::CreateScopedPostOffice(KivoStore::DecodeConnectionString(arguments.host));
    }
    constexpr Common::SourceLocation caller = COMMON_PLACE("KivoDump::CreatePostOffice");
    const Common::Error security = Security::Initialize(caller.tag);
    if (!security.IsEmpty()) {
        throw security;
    }
    return CreateRemotePostOffice(arguments);
}

}  // namespace KivoDump
