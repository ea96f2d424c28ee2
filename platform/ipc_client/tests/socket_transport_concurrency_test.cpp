// The library against a scripted service on a Unix socket: failed openings, Welcome versions,
// Pings both ways, the bound on calls in flight, replies in any order, every end of a connection.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <map>
#include <optional>

#include "core/common/text.h"
#include "platform/ipc_client/library_errors.h"
#include "platform/ipc_client/socket_transport.h"
#include "platform/ipc_client/tests/call_test_support.h"
#include "platform/wire/framed_socket.h"
#include "platform/wire/socket_paths.h"
#include "tests/support/temporary_folder.h"

namespace {

using namespace Binding;
using namespace IpcClientTest;
using IPCClient::kMaxCallsInFlight;
using KivoWire::EncodeFrame;
using KivoWire::FrameKind;
using Status = KivoWire::FramedSocket::Status;
constexpr uint32_t kQor = 33;

Common::Error ConnectQor(std::unique_ptr<AccessPoint>& accessPoint) {
    std::unique_ptr<ServiceBrowser> browser;
    const Common::Error error = IPCClient_GetLocalBrowser(browser);
    return error.IsEmpty() ? browser->Connect(kQor, 0, accessPoint) : error;
}

// A service on <temporary folder>/qor.sock (KIVO_SOCKET_DIR) and the library that uses it.
class ScriptedService {
  public:
    // Hold: a Welcome, then a Ping of id 5; the calls wait for Answer. The others fail the opening.
    enum class Mode { Hold, Refuse, Mute, HangUp };

    ScriptedService() {
        setenv(KivoWire::kSocketDirVariable, folder_.Path().c_str(), 1);
        sockaddr_un address{};
        std::string path;
        EXPECT_TRUE(KivoWire::SocketAddress(folder_.Path(), kQor, address, path).IsEmpty());
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 4), 0);
    }
    ~ScriptedService() { close(listener_); }

    // Opens an access point to the service on another thread and answers its Hello as `mode` says.
    Common::Error Connect(Mode mode, std::unique_ptr<AccessPoint>& accessPoint) {
        auto opening = std::async(std::launch::async, [&] { return ConnectQor(accessPoint); });
        pollfd listening{listener_, POLLIN, 0};
        EXPECT_EQ(poll(&listening, 1, 20000), 1);
        peer_ = std::make_unique<KivoWire::FramedSocket>(
            accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        EXPECT_TRUE(Pump([&] { return heard_[FrameKind::Hello] > 0; }));
        if (mode == Mode::Refuse) {
            const Common::Error no(COMMON_PLACE("Test::Refuse"), 0xAE0042);
            Send({EncodeFrame(FrameKind::Refusal, 0, 0, 0, KivoWire::ErrorPayload(no))});
        } else if (mode == Mode::HangUp) {
            peer_.reset();
        } else if (mode == Mode::Hold) {
            const KivoWire::ComponentVersion components[] = {{271, 2}, {kComponent, 3}};
            Send({EncodeFrame(FrameKind::Welcome, 0, 0, 0, WelcomePayload(components)),
                  EncodeFrame(FrameKind::Ping, 0, 0, 5, {})});  // read with the Welcome
        }
        return opening.get();
    }
    // Reads what the peer sends until `done` holds (200 reads or silences of 100 ms at most).
    bool Pump(const std::function<bool()>& done) {
        for (int round = 0; round < 200 && !done() && peer_ != nullptr; ++round) {
            pollfd in{peer_->Descriptor(), POLLIN, 0};
            std::vector<KivoWire::Frame> frames;
            Common::Error failure;
            if (poll(&in, 1, 100) > 0 && peer_->ReadAvailable(frames, failure) != Status::Open) {
                peer_.reset();
            }
            for (const KivoWire::Frame& frame : frames) {
                const auto& [kind, length, component, method, id] = frame.header;
                ++heard_[kind];  // a silent service answers no Ping
                lastPong_ = kind == FrameKind::Pong ? id : lastPong_;
                if (kind == FrameKind::Call) {
                    calls_[id] = {method, frame.payload};
                }
            }
        }
        return done();
    }
    // Pings with `id`; once the Pong came (all the peer sent before was read), the calls waiting.
    size_t RoundTrip(uint64_t id) {
        Send({EncodeFrame(FrameKind::Ping, 0, 0, id, {})});
        return Pump([&] { return lastPong_ == id; }) ? calls_.size() : 0;
    }
    // Answers `count` calls as the test component would, one at a time, the latest waiting first.
    void Answer(size_t count) {
        for (; count > 0 && Pump([&] { return !calls_.empty(); }); --count) {
            const auto& [id, call] = *calls_.rbegin();
            Send({EncodeFrame(FrameKind::Reply, 0, 0, id,
                              TestComponent().HandleCall(call.first, call.second))});
            calls_.erase(std::prev(calls_.end()));
        }
    }
    // Sends `bytes`, then the end of the stream (the socket stays open).
    void HangUp(const std::vector<uint8_t>& bytes) {
        Send({bytes});
        EXPECT_EQ(shutdown(peer_->Descriptor(), SHUT_WR), 0);
    }

    std::map<uint64_t, std::pair<uint32_t, std::vector<uint8_t>>> calls_;  // id: method, input
    std::map<FrameKind, int> heard_;  // the number of frames of each kind
    uint64_t lastPong_ = 0;
    Library library;

  private:
    // Sends `frames` in one write.
    void Send(std::initializer_list<std::vector<uint8_t>> frames) {
        ASSERT_NE(peer_, nullptr);
        std::vector<uint8_t> bytes;
        for (const std::vector<uint8_t>& frame : frames) {
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        EXPECT_EQ(send(peer_->Descriptor(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  ssize_t(bytes.size()));
    }

    const KivoTestSupport::TemporaryFolder folder_{"ipc-socket-"};
    int listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    std::unique_ptr<KivoWire::FramedSocket> peer_;
};

// An access point to a holding service.
struct Session : ScriptedService {
    Session() { EXPECT_TRUE(Connect(Mode::Hold, accessPoint).IsEmpty()); }
    std::unique_ptr<AccessPoint> accessPoint;
};

TEST(SocketTransport, OpeningsThatFailNameThePathAndTheReason) {
    const struct {
        std::optional<ScriptedService::Mode> mode;  // none: no service listens at `directory`
        std::string directory;
        uint32_t reason;
        std::string reasonText;
    } cases[] = {
        {std::nullopt, "/tmp/ipc-socket-none", 0, "No such file or directory"},
        {std::nullopt, "/tmp/" + std::string(110, 'd'), KivoWire::kSocketPathTooLong, ""},
        {ScriptedService::Mode::Refuse, "", 0xAE0042, ""},
        {ScriptedService::Mode::HangUp, "", kIpcClientServiceHungUp, ""},
        {ScriptedService::Mode::Mute, "", kIpcClientServiceSilent, "1000 ms"},
    };
    setenv(IPCClient::kDeadIntervalVariable, "1000", 1);  // the bound of an opening
    for (const auto& test : cases) {
        ScriptedService service;
        if (!test.mode) {
            setenv(KivoWire::kSocketDirVariable, test.directory.c_str(), 1);
        }
        std::unique_ptr<AccessPoint> accessPoint;
        const Common::Error error =
            test.mode ? service.Connect(*test.mode, accessPoint) : ConnectQor(accessPoint);
        const std::string text = Common::ToUtf8(error.ToText());
        EXPECT_EQ(error.Code(), kIpcClientNoService) << text;
        EXPECT_NE(text.find("service 33 "), std::string::npos) << text;
        EXPECT_NE(text.find(KivoWire::SocketDirectory() + "/qor.sock"), std::string::npos) << text;
        EXPECT_NE(text.find(test.reasonText), std::string::npos) << text;
        EXPECT_TRUE(test.reason == 0 || error.Reason().Code() == test.reason) << text;
    }
    unsetenv(IPCClient::kDeadIntervalVariable);
}

TEST(SocketTransport, CallsEndByTheirRepliesInAnyOrderOrAllAtOnceWithTheirConnection) {
    const struct {
        const char* name;
        std::function<void(Session&)> end;
        uint32_t code;    // 0: every call succeeds
        uint32_t reason;  // 0: none; otherwise later calls fail at once too
    } cases[] = {
        {"answered latest first", [](Session& s) { s.Answer(kMaxCallsInFlight + 2); }, 0, 0},
        {"silent",  // pinged, it answers none
         [](Session& s) { EXPECT_TRUE(s.Pump([&] { return s.heard_[FrameKind::Ping] > 0; })); },
         kIpcClientConnectionLost, kIpcClientServiceSilent},
        {"hung up", [](Session& s) { s.HangUp({}); }, kIpcClientConnectionLost,
         kIpcClientServiceHungUp},
        {"garbage", [](Session& s) { s.HangUp(std::vector<uint8_t>(40, 'g')); },
         kIpcClientConnectionLost, KivoWire::kBadFrame},
        {"closed", [](Session& s) { s.accessPoint.reset(); }, kIpcClientConnectionClosed, 0},
        {"library ended", [](Session& s) { EXPECT_TRUE(s.library.Deinit().IsEmpty()); },
         Common::kCanceled, 0},
    };
    setenv(IPCClient::kPingIntervalVariable, "50", 1);
    setenv(IPCClient::kDeadIntervalVariable, "2500", 1);
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Session session;
        ASSERT_TRUE(session.Pump([&] { return session.lastPong_ == 5; }));  // connected
        AccessPoint& accessPoint = *session.accessPoint;
        uint32_t version = 0;
        EXPECT_TRUE(accessPoint.GetComponentVersion(271, version).IsEmpty() && version == 2);
        EXPECT_EQ(accessPoint.GetComponentVersion(272, version).Code(), kIpcClientNoComponent);
        std::vector<StartedCall> calls(kMaxCallsInFlight + 2);
        for (size_t i = 0; i < calls.size(); ++i) {
            Start(accessPoint, calls[i], kEcho, static_cast<int>(i) * 10);
        }
        ASSERT_EQ(session.RoundTrip(6), kMaxCallsInFlight);  // two calls queued
        test.end(session);
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].handler.WaitFinished(), test.code == 0 ? kSucceeded : kFailed);
            EXPECT_EQ(calls[i].output, test.code == 0 ? static_cast<int>(i) * 10 + 1 : -1);
            EXPECT_EQ(calls[i].handler.Failure().Code(), test.code);
            EXPECT_EQ(calls[i].handler.Failure().Reason().Code(), test.reason);
        }
        std::unique_ptr<CallJob> job;
        if (test.reason != 0) {
            ASSERT_TRUE(accessPoint.Call(MakeRequest(kEcho, 1, calls[0].output), job).IsEmpty());
            EXPECT_EQ(job->Run().Code(), kIpcClientConnectionLost);
        }
    }
    unsetenv(IPCClient::kPingIntervalVariable);
    unsetenv(IPCClient::kDeadIntervalVariable);
}

}  // namespace
