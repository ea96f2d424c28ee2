// The clients of the socket server's tests: a FramedSocket over a Unix socket or over TLS to the
// TCP listener (the test CA trusted), driven by poll, whose waits end at kBound.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/security/testing/test_pki.h"
#include "platform/wire/framed_socket.h"

namespace SocketServerTest {

using namespace std::chrono_literals;

/// What Client::Next gives once the connection has ended.
inline constexpr KivoWire::FrameKind kEnded{};
/// Waits that pass only when something is broken.
inline constexpr auto kBound = 20s;

/// One test CA for the process, which clients trust through KIVO_CA_FILE.
[[nodiscard]] const KivoSecurityTesting::TestPki& Pki();

/// A Hello frame (by default of service 33).
[[nodiscard]] std::vector<uint8_t> Hello(std::vector<uint8_t> payload = KivoWire::HelloPayload(33));
/// A Credentials frame.
[[nodiscard]] std::vector<uint8_t> Credentials(const std::string& user,
                                               const std::string& password);
/// A connected blocking TCP socket to `address` ("<address>:<port>"), whose reads wait at most
/// kBound.
[[nodiscard]] int Dial(const std::string& address);

/// See the file comment.
struct Client {
    explicit Client(std::unique_ptr<KivoWire::Link> link) : socket(std::move(link)) {}
    /// A TLS client of the listener at `address`, verifying 127.0.0.1.
    [[nodiscard]] static std::unique_ptr<Client> Remote(const std::string& address);
    /// A client of the Unix socket at `path`.
    [[nodiscard]] static std::unique_ptr<Client> Local(const std::string& path);

    /// Sends `frame` with whatever waits (Drain).
    void Send(std::vector<uint8_t> frame) {
        socket.Queue(std::move(frame));
        Drain();
    }
    void Call(uint32_t method, uint64_t callId, const std::vector<uint8_t>& packet = {});
    /// Sends what waits, then ends the writing side.
    void End();
    /// The next frame, the server's Pings skipped unless `withPings`; kEnded once it has ended.
    [[nodiscard]] KivoWire::Frame Next(bool withPings = false);
    /// Drives the connection until what was sent has left (the TLS handshake first).
    void Drain();
    /// Logs in as u with password p when `login`, is welcomed, and opens a dynamic view of its
    /// own (call 1): a call answered.
    void Open(bool login);
    /// Whether a Ping of `callId` is answered.
    [[nodiscard]] bool Pings(uint64_t callId);

    // One round: sends what it can, waits for the socket, reads what came.
    void Step(std::chrono::steady_clock::time_point deadline);

    KivoWire::FramedSocket socket;
    std::deque<KivoWire::Frame> frames;
    bool ended = false;
};

}  // namespace SocketServerTest
