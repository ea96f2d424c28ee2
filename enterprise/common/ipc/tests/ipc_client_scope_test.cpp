// The program's side of the IPC client library: the scope that initialises and deinitialises
// it, and the local connection.

#include <gtest/gtest.h>

#include <memory>

#include "core/ipc_client_api/ipc_client.h"
#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/ipc/client/lib/scoped_ipc_client.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "platform/ipc_client/platform_library.h"

namespace {

// A library that fails as told and counts what it was asked.
class ScriptedLibrary final : public IPCClient::Library {
  public:
    Common::Error initFailure;
    Common::Error browserFailure;
    int inits = 0;
    int deinits = 0;

    Common::Error Init() override {
        ++inits;
        return initFailure;
    }
    Common::Error Deinit() override {
        ++deinits;
        return Common::Error(COMMON_PLACE("Test::Deinit"), 0x77);
    }
    Common::Error CreateBinder(std::unique_ptr<Binding::Binder>&) override {
        return Common::Error();
    }
    Common::Error GetLocalBrowser(std::unique_ptr<Binding::ServiceBrowser>&) override {
        return browserFailure;
    }
};

class Registered {
  public:
    explicit Registered(std::shared_ptr<IPCClient::Library> library)
        : previous_(IPCClient::RegisterLibrary(std::move(library))) {}
    ~Registered() { IPCClient::RegisterLibrary(std::move(previous_)); }

  private:
    std::shared_ptr<IPCClient::Library> previous_;
};

TEST(ScopedIPCClient, KeepsTheInitErrorAndDeinitialisesOnEveryPath) {
    const auto library = std::make_shared<ScriptedLibrary>();
    const Registered registered(library);
    library->initFailure = Common::Error(COMMON_PLACE("Test::Init"), 0x2A, u"no library");
    {
        const Binding::ScopedIPCClient scope;  // must not throw
        EXPECT_EQ(scope.InitError().Code(), 0x2Au);
        EXPECT_EQ(scope.InitError().Message(), u"no library");
    }
    EXPECT_EQ(library->deinits, 1) << "a failed init is deinitialised too";

    library->initFailure = Common::Error();
    {
        const Binding::ScopedIPCClient scope;
        EXPECT_TRUE(scope.InitError().IsEmpty());
    }
    EXPECT_EQ(library->inits, 2);
    EXPECT_EQ(library->deinits, 2);
}

TEST(ScopedIPCClient, WithNoLibraryTheInitErrorSaysSo) {
    const Registered none(nullptr);
    const Binding::ScopedIPCClient scope;
    EXPECT_EQ(scope.InitError().Code(), Binding::kIpcClientNotRegistered);
    EXPECT_FALSE(scope.InitError().ToText().empty());
}

TEST(ConnectLocalImpl, ABrowserRefusedBecomesTheLocalConnectionErrorWithTheLibrarysReason) {
    const auto library = std::make_shared<ScriptedLibrary>();
    const Registered registered(library);
    library->browserFailure = Common::Error(COMMON_PLACE("Test::Browser"), 0x1234);
    std::unique_ptr<Binding::AccessPoint> accessPoint;
    const Common::Error error = Binding::Detail::ConnectLocalImpl(46, 0, accessPoint);
    EXPECT_EQ(error.Code(), Binding::kNoLocalServiceBrowser);
    EXPECT_EQ(error.Message(),
              u"Failed to obtain the local service browser during local connection.");
    EXPECT_STREQ(error.Place().function, "Binding::Detail::ConnectLocalImpl");
    EXPECT_EQ(error.Reason().Code(), 0x1234u);
    EXPECT_EQ(accessPoint, nullptr);

    // An uninitialised library refuses the browser the same way.
    const IPCClient::ScopedPlatformLibrary platform;
    const Common::Error uninitialised = Binding::Detail::ConnectLocalImpl(46, 0, accessPoint);
    EXPECT_EQ(uninitialised.Code(), Binding::kNoLocalServiceBrowser);
    EXPECT_EQ(uninitialised.Reason().Code(), Binding::kIpcClientNotInitialized);
}

TEST(ConnectLocalImpl, AServiceWithoutComponentsGivesTheBrowsersErrorUnwrapped) {
    const IPCClient::ScopedPlatformLibrary platform;
    const Binding::ScopedIPCClient scope;
    ASSERT_TRUE(scope.InitError().IsEmpty());
    std::unique_ptr<Binding::AccessPoint> accessPoint;
    EXPECT_EQ(Binding::Detail::ConnectLocalImpl(46, 0, accessPoint).Code(),
              Binding::kIpcClientNoService);
    EXPECT_EQ(accessPoint, nullptr);

    const Binding::ScopedLocalComponent component(
        46, std::make_shared<Kivo::ViewManagement::ViewManager_Stub>(
                std::make_shared<IpcTest::RecordingViewManager>(), 1));
    EXPECT_TRUE(Binding::Detail::ConnectLocalImpl(46, 0, accessPoint).IsEmpty());
    ASSERT_NE(accessPoint, nullptr);
    EXPECT_EQ(Binding::Detail::ConnectLocalImpl(33, 0, accessPoint).Code(),
              Binding::kIpcClientNoService);
    EXPECT_EQ(accessPoint, nullptr);
}

}  // namespace
