// The IPC client library's lifetime and connections, call jobs used wrongly, and the host argument
// of a binder.

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/common/text.h"
#include "platform/ipc_client/host_address.h"
#include "platform/ipc_client/tests/call_test_support.h"

namespace {

using namespace IpcClientTest;

// With nothing registered every function fails clearly; Init and Deinit nest, an extra Deinit
// fails, and the browser of an ended initialisation connects nowhere, even after a new Init.
TEST(IpcClientLibrary, InitAndDeinitNestAndNeedARegisteredLibrary) {
    std::unique_ptr<Binding::Binder> binder;
    std::unique_ptr<Binding::ServiceBrowser> browser;
    const std::shared_ptr<IPCClient::Library> previous = IPCClient::RegisterLibrary(nullptr);
    for (const Common::Error& error : {IPCClient_Init(), IPCClient_CreateBinder(binder),
                                       IPCClient_GetLocalBrowser(browser), IPCClient_Deinit()}) {
        EXPECT_EQ(error.Code(), Binding::kIpcClientNotRegistered);
    }
    EXPECT_TRUE(binder == nullptr && browser == nullptr);
    IPCClient::RegisterLibrary(previous);
    IPCClient::ScopedPlatformLibrary scope;
    EXPECT_EQ(IPCClient_Deinit().Code(), Binding::kIpcClientNotInitialized);
    EXPECT_EQ(IPCClient_GetLocalBrowser(browser).Code(), Binding::kIpcClientNotInitialized);
    ASSERT_TRUE(IPCClient_Init().IsEmpty());
    ASSERT_TRUE(IPCClient_Init().IsEmpty());
    EXPECT_TRUE(IPCClient_Deinit().IsEmpty());
    EXPECT_TRUE(IPCClient_GetLocalBrowser(browser).IsEmpty()) << "one Init is still open";
    EXPECT_TRUE(IPCClient_Deinit().IsEmpty());
    EXPECT_EQ(IPCClient_Deinit().Code(), Binding::kIpcClientNotInitialized);
    std::unique_ptr<Binding::AccessPoint> accessPoint;
    const Binding::ScopedLocalComponent component(kService, std::make_shared<TestComponent>());
    EXPECT_EQ(browser->Connect(kService, 0, accessPoint).Code(), Binding::kIpcClientNotInitialized);
    ASSERT_TRUE(IPCClient_Init().IsEmpty());
    EXPECT_EQ(browser->Connect(kService, 0, accessPoint).Code(), Binding::kIpcClientNotInitialized);
    ASSERT_TRUE(IPCClient_GetLocalBrowser(browser).IsEmpty());
    EXPECT_TRUE(browser->Connect(kService, 0, accessPoint).IsEmpty());
    EXPECT_TRUE(IPCClient_Deinit().IsEmpty());
    // The seam that fails Init with the asked code, ignoring values that are no code.
    ASSERT_EQ(setenv(IPCClient::kInitErrorVariable, "0x2A", 1), 0);
    const Common::Error failed = IPCClient_Init();
    EXPECT_EQ(failed.Code(), 0x2Au);
    EXPECT_FALSE(failed.Message().empty());
    EXPECT_EQ(IPCClient_Deinit().Code(), Binding::kIpcClientNotInitialized);
    for (const char* ignored : {"", "zz", "0", "1FFFFFFFF", "12 "}) {
        ASSERT_EQ(setenv(IPCClient::kInitErrorVariable, ignored, 1), 0);
        EXPECT_TRUE(IPCClient_Init().IsEmpty()) << ignored;
        EXPECT_TRUE(IPCClient_Deinit().IsEmpty()) << ignored;
    }
    unsetenv(IPCClient::kInitErrorVariable);
}

// Calls reach only registered services and components, component places are taken once, a call
// job runs once, and a binder refuses bad hosts and credentials before it connects.
TEST(IpcClientLibrary, ConnectionsReachOnlyRegisteredComponentsAndJobsRunOnce) {
    Library library;
    EXPECT_EQ(Binding::RegisterLocalComponent(kService, std::make_shared<TestComponent>()).Code(),
              Binding::kIpcClientDuplicateComponent);
    EXPECT_FALSE(Binding::HasLocalService(kService + 1) || Binding::HasLocalService(kService - 1));
    std::unique_ptr<Binding::ServiceBrowser> browser;
    ASSERT_TRUE(IPCClient_GetLocalBrowser(browser).IsEmpty());
    std::unique_ptr<Binding::AccessPoint> accessPoint;
    EXPECT_EQ(browser->Connect(kService + 1, 0, accessPoint).Code(), Binding::kIpcClientNoService);
    EXPECT_EQ(accessPoint, nullptr);
    ASSERT_TRUE(browser->Connect(kService, 0, accessPoint).IsEmpty());
    EXPECT_NE(accessPoint->GetConnectionID(), library.Connect()->GetConnectionID());
    uint32_t version = 0;
    EXPECT_TRUE(accessPoint->GetComponentVersion(kComponent, version).IsEmpty() && version == 3);
    EXPECT_EQ(accessPoint->GetComponentVersion(kComponent + 1, version).Code(),
              Binding::kIpcClientNoComponent);
    StartedCall call;
    ASSERT_TRUE(accessPoint->Call(MakeRequest(kEcho, 6, call.output), call.job).IsEmpty());
    EXPECT_TRUE(call.job->Run().IsEmpty());
    EXPECT_EQ(call.output, 7);
    EXPECT_EQ(call.job->Run().Code(), Binding::kIpcClientJobAlreadyUsed);
    EXPECT_EQ(call.job->Start(call.handler).Code(), Binding::kIpcClientJobAlreadyUsed);
    ASSERT_TRUE(accessPoint->Call(MakeRequest(kEcho, 8, call.output), call.job).IsEmpty());
    EXPECT_TRUE(call.job->Cancel().IsEmpty());
    EXPECT_EQ(call.job->Start(call.handler).Code(), Common::kCanceled);
    EXPECT_EQ(accessPoint->Call(nullptr, call.job).Code(), Binding::kIpcClientNoRequest);
    EXPECT_EQ(call.job, nullptr);
    // A component that goes away fails later calls, not the connection.
    Binding::UnregisterLocalComponent(kService, kComponent);
    EXPECT_EQ(RunCall(*accessPoint, kEcho, 1, call.output).Code(), Binding::kIpcClientNoComponent);
    EXPECT_EQ(call.output, 7);
    ASSERT_TRUE(accessPoint->Call(MakeRequest(kEcho, 1, call.output), call.job).IsEmpty());
    accessPoint.reset();  // a call made before the close cannot start after it
    EXPECT_EQ(call.job->Start(call.handler).Code(), Binding::kIpcClientConnectionClosed);
    std::unique_ptr<Binding::Binder> binder;
    ASSERT_TRUE(IPCClient_CreateBinder(binder).IsEmpty());
    browser.reset();
    const Binding::ConnectionParameters parameters{"", u"user", u"password"};
    EXPECT_EQ(binder->Bind(parameters, browser).Code(), Binding::kIpcClientBadHost);
    // Port 1 of this host, where nothing listens: credentials that no frame carries never try it.
    for (const std::u16string& password : {std::u16string(), std::u16string(1025, u'p')}) {
        EXPECT_EQ(binder->Bind({"127.0.0.1:1", u"user", password}, browser).Code(),
                  Binding::kIpcClientAuthenticationFailed);
    }
    EXPECT_EQ(browser, nullptr);
    ASSERT_TRUE(library.Deinit().IsEmpty());
    EXPECT_EQ(binder->Bind(parameters, browser).Code(), Binding::kIpcClientNotInitialized);
}

// Host texts and the hosts they name, shown with their ports; texts that are no host are refused
// quoted, the address left as it was.
TEST(HostAddress, HostsWithAndWithoutPortsAreReadAndOtherTextsRefusedQuoted) {
    const std::pair<std::string, std::string> hosts[] = {
        {"kivo.example", "kivo.example:7446"},
        {"kivo-1.example.:8000", "kivo-1.example.:8000"},
        {"127.0.0.1:1", "127.0.0.1:1"},
        {"h_2:65535", "h_2:65535"},
        {"[::1]", "[::1]:7446"},
        {"[2001:db8::7]:00080", "[2001:db8::7]:80"},
        {"fe80::1:80", "[fe80::1:80]:7446"},  // bare: all of it is the address
        {"::ffff:10.0.0.1", "[::ffff:10.0.0.1]:7446"},
        {std::string(253, 'n'), std::string(253, 'n') + ":7446"}};
    for (const auto& [text, shown] : hosts) {
        IPCClient::HostAddress address;
        ASSERT_TRUE(IPCClient::ParseHost(text, address).IsEmpty()) << text;
        EXPECT_EQ(address.Display(), shown);
    }
    const std::string refused[] = {
        "",           ":7446",       "host:",          "host:0",
        "host:65536", "host:123456", "host:+80",       "host:8x",
        "host:80:90", "host name",   " host",          "host\x01",
        "h/x",        "[::1",        "[::1]x",         "[::1]:",
        "[::1]:0",    "[]",          "[127.0.0.1]",    "[host]:80",
        "a:b:c",      "fe80::1::2",  "[fe80::1%eth0]", std::string(254, 'n')};
    for (const std::string& text : refused) {
        IPCClient::HostAddress address{"kept"};
        const Common::Error error = IPCClient::ParseHost(text, address);
        EXPECT_EQ(error.Code(), Binding::kIpcClientBadHost) << text;
        EXPECT_NE(Common::ToUtf8(error.Message()).find("'" + text + "'"), std::string::npos)
            << text;
        EXPECT_EQ(address.name, "kept") << text;
    }
}

}  // namespace
