// The library against a scripted service program on a Unix socket: openings that fail clearly,
// the Welcome's versions, replies out of order, the bound on calls in flight, the service's
// Pings, connections that fail (silence, hang-up, garbage) ending every call at once, and calls
// in flight when their access point or the library ends.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "core/common/text.h"
#include "platform/ipc_client/library_errors.h"
#include "platform/ipc_client/socket_transport.h"
#include "platform/ipc_client/tests/call_test_support.h"
#include "platform/wire/framed_socket.h"
#include "platform/wire/socket_paths.h"

namespace {

using namespace IpcClientTest;
using IPCClient::kMaxCallsInFlight;
using KivoWire::FrameKind;
constexpr uint32_t kQor = 33;
constexpr auto kBound = std::chrono::seconds(20);

// A service on <temporary directory>/qor.sock (KIVO_SOCKET_DIR), on its own thread, serving one
// peer at a time as its mode says; the test acts on the peer through Post.
class ScriptedService {
  public:
    // Hold: welcome, keep the calls until Answer; the others end the opening.
    enum class Mode { Hold, Refuse, Mute, HangUp };

    explicit ScriptedService(Mode mode) : mode_(mode) {
        char pattern[] = "/tmp/ipc-socket-XXXXXX";
        directory_ = mkdtemp(pattern);
        setenv(KivoWire::kSocketDirVariable, directory_.c_str(), 1);
        sockaddr_un address{};
        std::string path;
        EXPECT_TRUE(KivoWire::SocketAddress(directory_, kQor, address, path).IsEmpty());
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 4), 0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedService() {
        Post([this] { quit_ = true; });
        thread_.join();
        close(listener_);
        close(wake_);
        unlink((directory_ + "/qor.sock").c_str());
        rmdir(directory_.c_str());
    }

    // Runs `task` on the service's thread.
    void Post(std::function<void()> task) {
        std::lock_guard<std::mutex> hold(lock_);
        tasks_.push_back(std::move(task));
        const uint64_t one = 1;
        EXPECT_EQ(write(wake_, &one, sizeof one), 8);
    }
    // Waits (bounded) until `done` holds under the lock of what the service heard.
    bool WaitUntil(const std::function<bool()>& done) {
        std::unique_lock<std::mutex> hold(lock_);
        return heard_.wait_for(hold, kBound, done);
    }
    // The ids of the calls heard, in order.
    std::vector<uint64_t> CallIds() {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<uint64_t> ids;
        for (const auto& [id, call] : calls_) {
            ids.push_back(id);
        }
        return ids;
    }
    // Answers call `callId` as the test component would.
    void Answer(uint64_t callId) {
        Post([this, callId] {
            const auto& [method, input] = calls_.at(callId);
            Queue(FrameKind::Reply, callId, TestComponent().HandleCall(method, input));
        });
    }
    // Sends a Ping of `callId` and waits for its Pong: what the peer sent before is read then.
    bool RoundTrip(uint64_t callId) {
        Post([this, callId] { Queue(FrameKind::Ping, callId, {}); });
        return WaitUntil([&] { return pongs_.count(callId) > 0; });
    }
    // Sends `bytes` to the peer, then the end of the stream (the socket stays open).
    void HangUp(std::vector<uint8_t> bytes = {}) {
        Post([this, bytes] {
            const int fd = peer_->Descriptor();
            EXPECT_EQ(send(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
            EXPECT_EQ(shutdown(fd, SHUT_WR), 0);
        });
    }

    std::map<uint64_t, std::pair<uint32_t, std::vector<uint8_t>>> calls_;  // id: method, input
    std::set<uint64_t> pongs_;
    int pings_ = 0;

  private:
    void Queue(FrameKind kind, uint64_t callId, std::span<const uint8_t> payload) {
        if (peer_ != nullptr) {
            peer_->Queue(KivoWire::EncodeFrame(kind, 0, 0, callId, payload));
        }
    }
    void Take(KivoWire::Frame& frame) {
        switch (frame.header.kind) {
            case FrameKind::Hello:
                if (mode_ == Mode::Refuse) {
                    const Common::Error no(COMMON_PLACE("Test::Refuse"), 0xAE0042);
                    Queue(FrameKind::Refusal, 0, KivoWire::ErrorPayload(no));
                } else if (mode_ == Mode::HangUp) {
                    peer_.reset();
                } else if (mode_ != Mode::Mute) {
                    const KivoWire::ComponentVersion components[] = {{271, 2}, {kComponent, 3}};
                    Queue(FrameKind::Welcome, 0, KivoWire::WelcomePayload(components));
                    Queue(FrameKind::Ping, 5, {});  // answered as soon as the peer is running
                }
                break;
            case FrameKind::Call:
                calls_[frame.header.callId] = {frame.header.methodId, frame.payload};
                break;
            case FrameKind::Ping:
                ++pings_;  // a silent service answers none
                break;
            case FrameKind::Pong:
                pongs_.insert(frame.header.callId);
                break;
            default:
                ADD_FAILURE() << "unexpected frame";
        }
    }
    void Serve() {
        while (!quit_) {
            pollfd watched[3] = {{wake_, POLLIN, 0}, {listener_, POLLIN, 0}, {-1, POLLIN, 0}};
            if (peer_ != nullptr) {
                watched[2] = {peer_->Descriptor(), POLLIN, 0};
            }
            ASSERT_GT(poll(watched, 3, -1), 0);
            std::lock_guard<std::mutex> hold(lock_);
            if (watched[0].revents != 0) {
                uint64_t count = 0;
                EXPECT_EQ(read(wake_, &count, sizeof count), 8);
                for (auto& task : tasks_) {
                    task();
                }
                tasks_.clear();
            }
            if (watched[1].revents != 0 && peer_ == nullptr) {
                peer_ = std::make_unique<KivoWire::FramedSocket>(
                    accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            }
            if (watched[2].revents != 0 && peer_ != nullptr) {
                std::vector<KivoWire::Frame> frames;
                Common::Error failure;
                const auto status = peer_->ReadAvailable(frames, failure);
                for (KivoWire::Frame& frame : frames) {
                    Take(frame);
                }
                if (status != KivoWire::FramedSocket::Status::Open) {
                    peer_.reset();
                }
            }
            Common::Error failure;
            if (peer_ != nullptr &&
                peer_->Flush(failure) == KivoWire::FramedSocket::Status::Failed) {
                peer_.reset();
            }
            heard_.notify_all();
        }
    }

    Mode mode_;
    std::string directory_;
    int listener_ = -1;
    int wake_ = eventfd(0, EFD_CLOEXEC);
    std::unique_ptr<KivoWire::FramedSocket> peer_;
    std::mutex lock_;
    std::condition_variable heard_;
    std::vector<std::function<void()>> tasks_;
    bool quit_ = false;
    std::thread thread_;
};

std::unique_ptr<Binding::AccessPoint> ConnectQor(Common::Error& error) {
    std::unique_ptr<Binding::ServiceBrowser> browser;
    std::unique_ptr<Binding::AccessPoint> accessPoint;
    error = IPCClient_GetLocalBrowser(browser);
    if (error.IsEmpty()) {
        error = browser->Connect(kQor, 0, accessPoint);
    }
    return accessPoint;
}

TEST(SocketTransport, OpeningsThatFailNameThePathAndTheReason) {
    const std::string tooLong = "/tmp/" + std::string(110, 'd');
    const struct {
        const char* name;
        std::optional<ScriptedService::Mode> mode;  // none: no service listens
        std::string directory;                      // empty: the service's
        uint32_t reason;
        std::string reasonText;
    } cases[] = {
        {"missing socket", std::nullopt, "/tmp/ipc-socket-none", 0, "No such file or directory"},
        {"path too long", std::nullopt, tooLong, KivoWire::kSocketPathTooLong, ""},
        {"refused", ScriptedService::Mode::Refuse, "", 0xAE0042, ""},
        {"hung up", ScriptedService::Mode::HangUp, "", Binding::kIpcClientServiceHungUp, ""},
        {"mute", ScriptedService::Mode::Mute, "", Binding::kIpcClientServiceSilent, "1000 ms"},
    };
    setenv(IPCClient::kDeadIntervalVariable, "1000", 1);  // the bound of an opening
    for (const auto& test : cases) {
        std::optional<ScriptedService> service;
        if (test.mode) {
            service.emplace(*test.mode);
        } else {
            setenv(KivoWire::kSocketDirVariable, test.directory.c_str(), 1);
        }
        Library library;
        Common::Error error;
        EXPECT_EQ(ConnectQor(error), nullptr) << test.name;
        EXPECT_EQ(error.Code(), Binding::kIpcClientNoService) << test.name;
        const std::string text = Common::ToUtf8(error.ToText());
        EXPECT_NE(text.find("service 33 "), std::string::npos) << text;
        EXPECT_NE(text.find(KivoWire::SocketDirectory() + "/qor.sock"), std::string::npos) << text;
        EXPECT_NE(text.find(test.reasonText), std::string::npos) << text;
        if (test.reason != 0) {
            EXPECT_EQ(error.Reason().Code(), test.reason) << text;
        }
    }
    unsetenv(IPCClient::kDeadIntervalVariable);
}

TEST(SocketTransport, WelcomeVersionsRepliesOutOfOrderAndThePingsOfTheService) {
    ScriptedService service(ScriptedService::Mode::Hold);
    Library library;
    Common::Error error;
    const std::unique_ptr<Binding::AccessPoint> accessPoint = ConnectQor(error);
    ASSERT_TRUE(error.IsEmpty()) << Common::ToUtf8(error.ToText());
    EXPECT_TRUE(service.WaitUntil([&] { return service.pongs_.count(5) > 0; }));
    uint32_t version = 0;
    EXPECT_TRUE(accessPoint->GetComponentVersion(271, version).IsEmpty());
    EXPECT_EQ(version, 2u);
    EXPECT_EQ(accessPoint->GetComponentVersion(272, version).Code(),
              Binding::kIpcClientNoComponent);

    // 65 calls: 64 go out, the 65th waits until one of them ends.
    std::vector<StartedCall> calls(kMaxCallsInFlight + 1);
    for (size_t i = 0; i < calls.size(); ++i) {
        Start(*accessPoint, calls[i], kEcho, static_cast<int>(i) * 10);
    }
    ASSERT_TRUE(service.RoundTrip(6));  // every call sent so far has been read
    const std::vector<uint64_t> sent = service.CallIds();
    ASSERT_EQ(sent.size(), kMaxCallsInFlight);
    service.Answer(sent.back());
    ASSERT_TRUE(service.WaitUntil([&] { return service.calls_.size() == calls.size(); }));
    // The rest answered last first: each reply reaches the call of its id.
    const std::vector<uint64_t> all = service.CallIds();
    for (auto id = all.rbegin(); id != all.rend(); ++id) {
        if (*id != sent.back()) {
            service.Answer(*id);
        }
    }
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].handler.WaitFinished(), kSucceeded);
        EXPECT_EQ(calls[i].output, static_cast<int>(i) * 10 + 1) << i;
    }
}

TEST(SocketTransport, AFailedConnectionEndsEveryCallAtOnceAndLaterCallsFail) {
    const struct {
        const char* name;
        std::function<void(ScriptedService&)> end;
        uint32_t reason;
    } cases[] = {
        {"silent", [](ScriptedService&) {}, Binding::kIpcClientServiceSilent},
        {"hung up", [](ScriptedService& service) { service.HangUp(); },
         Binding::kIpcClientServiceHungUp},
        {"garbage", [](ScriptedService& service) { service.HangUp(std::vector<uint8_t>(40, 'g')); },
         KivoWire::kBadFrame},
    };
    setenv(IPCClient::kPingIntervalVariable, "50", 1);
    setenv(IPCClient::kDeadIntervalVariable, "2500", 1);
    for (const auto& test : cases) {
        ScriptedService service(ScriptedService::Mode::Hold);
        Library library;
        Common::Error error;
        const std::unique_ptr<Binding::AccessPoint> accessPoint = ConnectQor(error);
        ASSERT_TRUE(error.IsEmpty()) << Common::ToUtf8(error.ToText());
        std::vector<StartedCall> calls(kMaxCallsInFlight + 2);  // two of them queued
        for (StartedCall& call : calls) {
            Start(*accessPoint, call, kEcho, 1);
        }
        test.end(service);
        for (StartedCall& call : calls) {
            EXPECT_EQ(call.handler.WaitFinished(), kFailed);
            EXPECT_EQ(call.handler.Failure().Code(), Binding::kIpcClientConnectionLost)
                << test.name;
            EXPECT_EQ(call.handler.Failure().Reason().Code(), test.reason) << test.name;
        }
        int output = -1;
        std::unique_ptr<Binding::CallJob> job;
        ASSERT_TRUE(accessPoint->Call(MakeRequest(kEcho, 1, output), job).IsEmpty());
        EXPECT_EQ(job->Run().Code(), Binding::kIpcClientConnectionLost) << test.name;
        if (test.reason == Binding::kIpcClientServiceSilent) {
            EXPECT_TRUE(service.WaitUntil([&] { return service.pings_ > 0; })) << "pinged first";
        }
    }
    unsetenv(IPCClient::kPingIntervalVariable);
    unsetenv(IPCClient::kDeadIntervalVariable);
}

TEST(SocketTransport, ClosingTheAccessPointOrTheLibraryEndsItsCallsInFlight) {
    for (const bool wholeLibrary : {false, true}) {
        ScriptedService service(ScriptedService::Mode::Hold);
        Library library;
        Common::Error error;
        std::unique_ptr<Binding::AccessPoint> accessPoint = ConnectQor(error);
        ASSERT_TRUE(error.IsEmpty()) << Common::ToUtf8(error.ToText());
        StartedCall call;
        Start(*accessPoint, call, kEcho, 1);
        if (wholeLibrary) {
            ASSERT_TRUE(library.Deinit().IsEmpty());  // joins the I/O thread
        } else {
            accessPoint.reset();
        }
        EXPECT_EQ(call.handler.WaitFinished(), kFailed);
        EXPECT_EQ(call.handler.Failure().Code(),
                  wholeLibrary ? IPCClient::kCanceled : Binding::kIpcClientConnectionClosed);
    }
}

}  // namespace
