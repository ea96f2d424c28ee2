// KivoSecurity: TLS for connections between hosts, over OpenSSL: the contexts of the two sides
// and the links that carry the service protocol's frames (platform/wire/link.h) through TLS.
//
// Every connection speaks TLS 1.3 and nothing older. The client verifies the server's chain
// against the CA file named by KIVO_CA_FILE, else the system's store, and the host it asked for
// (a name through SSL_set1_host, an IP address literal through the certificate's IP entries);
// there is no way to turn verification off, only to name another CA file. The server presents
// a certificate chain and key read from PEM files; it asks nothing of the client's certificate
// (clients prove who they are with a user name and password inside TLS).
//
// Links are driven through memory BIOs by the loop that owns the socket: OpenSSL never touches
// the descriptor, so it never blocks, never raises SIGPIPE, and the same loop carries the
// handshake and the frames. No session tickets are issued.
//
// Thread-safety: contexts are immutable once made and may be shared by any threads; a link
// belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/common/error/error.h"
#include "platform/wire/link.h"

namespace KivoSecurity {

/// The CA file named by KIVO_CA_FILE cannot be read (the system's error is the reason).
inline constexpr uint32_t kCaFileUnreadable = 0x2740011;
/// The CA file holds no certificate that OpenSSL can read.
inline constexpr uint32_t kCaFileEmpty = 0x2740012;
/// A context or link cannot be made: OpenSSL's reason is in the message.
inline constexpr uint32_t kTlsSetupFailed = 0x2740013;
/// The server's certificate chain does not lead to a trusted CA (or is expired, revoked...).
inline constexpr uint32_t kCertificateNotTrusted = 0x2740014;
/// The server's certificate is not made out to the host the client asked for.
inline constexpr uint32_t kHostNameMismatch = 0x2740015;
/// The handshake failed for another reason (the peer does not speak TLS 1.3, sent an alert...).
inline constexpr uint32_t kHandshakeFailed = 0x2740016;
/// A key or users file that group or others may read or write.
inline constexpr uint32_t kFileTooOpen = 0x2740017;
/// The TLS stream broke after the handshake (a record that does not authenticate, an alert).
inline constexpr uint32_t kTlsStreamFailed = 0x274001B;

/// The environment variable that names the clients' CA file.
inline constexpr const char* kCaFileVariable = "KIVO_CA_FILE";

/// One side's TLS configuration (an SSL_CTX).
class TlsContext;

/// The clients' context of this process, made at the first call and kept: TLS 1.3 only, peer
/// verification on, the CA file of KIVO_CA_FILE (kCaFileUnreadable, kCaFileEmpty) or else the
/// system's default store. A failure is not kept: the next call tries again; nor is a context
/// kept once KIVO_CA_FILE names another file (or none): the next call makes one for it.
[[nodiscard]] Common::Error ClientContext(std::shared_ptr<const TlsContext>& context);

/// A server context presenting the PEM certificate chain of `certificateFile` with the private
/// key of `keyFile`, which group and others may not read (kFileTooOpen). kTlsSetupFailed when
/// a file cannot be read or the key does not match the certificate.
[[nodiscard]] Common::Error MakeServerContext(const std::string& certificateFile,
                                              const std::string& keyFile,
                                              std::shared_ptr<const TlsContext>& context);

/// A TLS link: the handshake runs as bytes come and go; ReadyToSend once it has completed.
class TlsLink : public KivoWire::Link {
  public:
    /// True once the handshake has completed (and, for a client, the server was verified).
    [[nodiscard]] virtual bool Established() const noexcept = 0;
};

/// A client link over `fd` (connected, non-blocking, taken: closed here on failure) to `host`
/// (a DNS name or an IP address literal, without port or brackets, not empty), which the
/// server's certificate must name. The handshake starts with the first Send. Receive fails with
/// kCertificateNotTrusted, kHostNameMismatch or kHandshakeFailed when the handshake does (also
/// when the server closes during it), and with kTlsStreamFailed when the stream breaks after it.
/// The end of the stream (close_notify, or the socket's end after the handshake) is Closed.
[[nodiscard]] Common::Error MakeClientLink(std::shared_ptr<const TlsContext> context, int fd,
                                           const std::string& host, std::unique_ptr<TlsLink>& link);

/// A server link over `fd` (accepted, non-blocking, taken: closed here on failure); the
/// handshake runs as the client's bytes come. Receive fails with kHandshakeFailed when the client
/// does not complete it (a client that speaks plain frames, or closes during the handshake).
[[nodiscard]] Common::Error MakeServerLink(std::shared_ptr<const TlsContext> context, int fd,
                                           std::unique_ptr<TlsLink>& link);

}  // namespace KivoSecurity
