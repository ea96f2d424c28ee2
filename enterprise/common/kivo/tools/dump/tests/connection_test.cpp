// The identifiers of the services, and a host that binds but refuses the service, over an IPC
// client library written here. (The program tests cover the paths of the real library.)

#include "enterprise/common/kivo/tools/dump/connection.h"

#include <gtest/gtest.h>

#include <string>

#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"

namespace {

// Binds every host; its browsers refuse every service, naming what they were given.
class RefusingLibrary final : public IPCClient::Library {
    class Browser final : public Binding::ServiceBrowser {
      public:
        explicit Browser(std::string bound) : bound_(std::move(bound)) {}
        Common::Error Connect(uint32_t serviceId, uint32_t,
                              std::unique_ptr<Binding::AccessPoint>&) override {
            return Common::Error(COMMON_PLACE("KivoTest::Browser::Connect"), 0xAE0003,
                                 Common::ToUtf16(bound_ + std::to_string(serviceId)));
        }

      private:
        const std::string bound_;
    };
    class Binder final : public Binding::Binder {
        Common::Error Bind(const Binding::ConnectionParameters& parameters,
                           std::unique_ptr<Binding::ServiceBrowser>& browser) override {
            browser =
                std::make_unique<Browser>(parameters.host + "|" + Common::ToUtf8(parameters.user) +
                                          "|" + Common::ToUtf8(parameters.password) + "|");
            return Common::Error();
        }
    };

  public:
    Common::Error Init() override { return Common::Error(); }
    Common::Error Deinit() override { return Common::Error(); }
    Common::Error CreateBinder(std::unique_ptr<Binding::Binder>& binder) override {
        binder = std::make_unique<Binder>();
        return Common::Error();
    }
    Common::Error GetLocalBrowser(std::unique_ptr<Binding::ServiceBrowser>& browser) override {
        browser = std::make_unique<Browser>("local|");
        return Common::Error();
    }
};

TEST(ServiceId, EachKeywordItsIdentifierAndAnyOtherWordTheManagementServer) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"QOR", 33}, {"YEB", 34}, {"TUK", 35}, {"KIVO", 46}, {"DB", 33}, {"", 33}, {"yeb", 33}};
    for (const auto& [word, id] : cases)
        EXPECT_EQ(KivoDump::ServiceId(word), id) << word;
}

TEST(CreateAccessPoint, AServiceThatTheHostRefusesIsCodeThreeWithTheLibrarysErrorAsReason) {
    const std::shared_ptr<IPCClient::Library> previous =
        IPCClient::RegisterLibrary(std::make_shared<RefusingLibrary>());
    KivoDump::Arguments arguments(0, nullptr);
    arguments.user = "u";
    arguments.password = "p\xC3\xBC";
    const struct {
        const char* host;
        const char* service;
        const char16_t* message;
        const char16_t* reason;
    } cases[] = {
        {"far.example", "YEB", u"Failed to connect to YEB", u"far.example|u|p\u00FC|34"},
        {"localhost", "TUK", u"Failed to create local connection with TUK", u"local|35"},
        {"far.example", "KIVO", u"Failed to create local connection with KIVO", u"local|46"},
    };
    for (const auto& entry : cases) {
        arguments.host = entry.host;
        arguments.service = entry.service;
        try {
            (void)KivoDump::CreateAccessPoint(arguments);
            ADD_FAILURE() << "no error";
        } catch (const Common::Error& error) {
            EXPECT_EQ(error.Code(), KivoDump::kConnectionFailed);
            EXPECT_EQ(error.Message(), entry.message);
            EXPECT_STREQ(error.Place().function, "CreateAccessPoint");
            EXPECT_EQ(error.Reason().Message(), entry.reason);
        }
    }
    IPCClient::RegisterLibrary(previous);
}

}  // namespace
