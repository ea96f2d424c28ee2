// The way to a service: the identifiers, the choice between this machine and a host, and the
// errors of each step, over an IPC client library written here.

#include "enterprise/common/kivo/tools/dump/connection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"

namespace {

// An access point that is never called.
class IdleAccessPoint final : public Binding::AccessPoint {
  public:
    Common::Error Call(std::unique_ptr<Binding::Request>,
                       std::unique_ptr<Binding::CallJob>&) override {
        return Common::Error();
    }
    uint32_t GetConnectionID() const override { return 1; }
    Common::Error GetComponentVersion(uint32_t, uint32_t&) override { return Common::Error(); }
};

// A library whose browsers and binder write what they are asked into `calls` and answer with the
// results set.
class RecordingLibrary final : public IPCClient::Library {
  public:
    std::vector<std::string> calls;
    Common::Error localResult, bindResult, connectResult;

    Common::Error Init() override { return Common::Error(); }
    Common::Error Deinit() override { return Common::Error(); }
    Common::Error CreateBinder(std::unique_ptr<Binding::Binder>& binder) override {
        binder = std::make_unique<Binder>(*this);
        return Common::Error();
    }
    Common::Error GetLocalBrowser(std::unique_ptr<Binding::ServiceBrowser>& browser) override {
        browser = std::make_unique<Browser>(*this, "local ", localResult);
        return Common::Error();
    }

  private:
    class Browser final : public Binding::ServiceBrowser {
      public:
        Browser(RecordingLibrary& library, std::string name, Common::Error result)
            : library_(library), name_(std::move(name)), result_(std::move(result)) {}
        Common::Error Connect(uint32_t serviceId, uint32_t,
                              std::unique_ptr<Binding::AccessPoint>& accessPoint) override {
            library_.calls.push_back(name_ + std::to_string(serviceId));
            if (result_.IsEmpty())
                accessPoint = std::make_unique<IdleAccessPoint>();
            return result_;
        }

      private:
        RecordingLibrary& library_;
        const std::string name_;
        const Common::Error result_;
    };
    class Binder final : public Binding::Binder {
      public:
        explicit Binder(RecordingLibrary& library) : library_(library) {}
        Common::Error Bind(const Binding::ConnectionParameters& parameters,
                           std::unique_ptr<Binding::ServiceBrowser>& browser) override {
            library_.calls.push_back("bind " + parameters.host + " " +
                                     Common::ToUtf8(parameters.user) + " " +
                                     Common::ToUtf8(parameters.password));
            if (library_.bindResult.IsEmpty())
                browser = std::make_unique<Browser>(library_, "connect ", library_.connectResult);
            return library_.bindResult;
        }

      private:
        RecordingLibrary& library_;
    };
};

class ConnectionTest : public ::testing::Test {
  protected:
    ConnectionTest() : previous_(IPCClient::RegisterLibrary(library_)) {}
    ~ConnectionTest() override { IPCClient::RegisterLibrary(previous_); }

    // CreateAccessPoint with these arguments: the error it throws, empty when none.
    Common::Error Connect(const std::string& host, const std::string& service,
                          const std::string& user = "u") {
        KivoDump::Arguments arguments(0, nullptr);
        arguments.host = host;
        arguments.user = user;
        arguments.password = "p\xC3\xBC";
        arguments.service = service;
        try {
            EXPECT_NE(KivoDump::CreateAccessPoint(arguments), nullptr);
        } catch (const Common::Error& error) {
            EXPECT_EQ(error.Code(), KivoDump::kConnectionFailed);
            EXPECT_STREQ(error.Place().function, "CreateAccessPoint");
            return error;
        }
        return Common::Error();
    }

    const std::shared_ptr<RecordingLibrary> library_ = std::make_shared<RecordingLibrary>();
    const std::shared_ptr<IPCClient::Library> previous_;
};

Common::Error Fault(uint32_t code) {
    return Common::Error(COMMON_PLACE("KivoTest::Library"), code, "library says no");
}

TEST(ServiceId, EachKeywordItsIdentifierAndAnyOtherWordTheManagementServer) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"QOR", 33}, {"YEB", 34}, {"TUK", 35}, {"KIVO", 46}, {"DB", 33}, {"", 33}, {"yeb", 33}};
    for (const auto& [word, id] : cases)
        EXPECT_EQ(KivoDump::ServiceId(word), id) << word;
}

TEST_F(ConnectionTest, KivoAndExactlyLocalhostStayOnThisMachineEveryOtherHostIsBound) {
    const struct {
        const char* host;
        const char* service;
        std::vector<std::string> calls;
    } cases[] = {
        {"far.example", "KIVO", {"local 46"}},
        {"localhost", "QOR", {"local 33"}},
        {"LOCALHOST", "QOR", {"bind LOCALHOST u p\xC3\xBC", "connect 33"}},
        {"", "TUK", {"bind  u p\xC3\xBC", "connect 35"}},
        {"10.0.0.1", "YEB", {"bind 10.0.0.1 u p\xC3\xBC", "connect 34"}},
    };
    for (const auto& entry : cases) {
        library_->calls.clear();
        EXPECT_TRUE(Connect(entry.host, entry.service).IsEmpty());
        EXPECT_EQ(library_->calls, entry.calls) << entry.host;
    }
}

TEST_F(ConnectionTest, EachFailingStepIsCodeThreeWithTheLibrarysErrorAsReason) {
    library_->localResult = Fault(0xAE0003);
    Common::Error error = Connect("localhost", "TUK");
    EXPECT_EQ(error.Message(), u"Failed to create local connection with TUK");
    EXPECT_EQ(error.Reason().Code(), 0xAE0003u);

    library_->connectResult = Fault(0xAE0004);
    error = Connect("host", "YEB");
    EXPECT_EQ(error.Message(), u"Failed to connect to YEB");
    EXPECT_EQ(error.Reason().Code(), 0xAE0004u);

    library_->bindResult = Fault(0xAE0005);
    error = Connect("host", "YEB");
    EXPECT_EQ(error.Message(), u"Failed to bind to host.");
    EXPECT_EQ(error.Reason().Code(), 0xAE0005u);
}

TEST_F(ConnectionTest, CredentialsThatAreNotUtf8AreNeverSent) {
    const Common::Error error = Connect("host", "QOR", "caf\xE9");
    EXPECT_EQ(error.Message(),
              u"The user name or the password is not valid UTF-8, so it cannot be sent.");
    EXPECT_TRUE(library_->calls.empty());
    // On this machine they are not used, so they do not matter.
    EXPECT_TRUE(Connect("localhost", "QOR", "caf\xE9").IsEmpty());
}

}  // namespace
