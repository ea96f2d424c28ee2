// The TLS link: OpenSSL over two memory BIOs, the socket driven by the link itself.
//
//   Handshaking --(SSL_do_handshake done)--> Established --(close_notify or EOF)--> Closed
//        |                                        |
//        +--(alert, bad certificate, EOF)--> Failed <--(bad record, socket error)--+
//
// Invariants: ciphertext read from the socket goes straight into the read BIO and is processed
// at once, and SSL_read runs until OpenSSL wants more, so no plaintext is ever left inside SSL
// (the loop only wakes for the socket). What OpenSSL writes is moved at once from the write BIO
// into outgoing_, which Send pushes to the socket; application bytes are written only when
// nothing is held, at most kWritePiece at a time, so held ciphertext stays bounded. Failed is
// final: every later call answers the same error.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "platform/security/openssl_reason.h"
#include "platform/security/tls.h"
#include "platform/security/tls_context.h"
#include "platform/wire/socket_link.h"

namespace KivoSecurity {
namespace {

// The most plaintext handed to one SSL_write: one record's worth.
constexpr size_t kWritePiece = 16 * 1024;

Common::Error CatalogError(const Common::SourceLocation& place, uint32_t code,
                           Common::MessageId message, const std::string& insert) {
    return Common::Error(place, code,
                         Common::FormatCatalogMessage(Common::GetCatalogMessage(message),
                                                      {Common::ToUtf16(insert)}));
}

bool IsAddressLiteral(const std::string& host) {
    in6_addr address;
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

// See the file comment.
class OpenSslLink final : public TlsLink {
  public:
    OpenSslLink(std::shared_ptr<const TlsContext> context, SSL* ssl, BIO* in, BIO* out, int fd,
                std::string host)
        : context_(std::move(context)),
          ssl_(ssl),
          in_(in),
          out_(out),
          fd_(fd),
          host_(std::move(host)) {}
    ~OpenSslLink() override;

    [[nodiscard]] int Descriptor() const noexcept override { return fd_; }
    [[nodiscard]] KivoWire::LinkStatus Receive(std::vector<uint8_t>& received, size_t budget,
                                               Common::Error& failure) override;
    [[nodiscard]] KivoWire::LinkStatus Send(std::span<const uint8_t> bytes, size_t& taken,
                                            Common::Error& failure) override;
    [[nodiscard]] size_t Held() const noexcept override {
        return outgoing_.size() - sent_ + BIO_ctrl_pending(out_);
    }
    [[nodiscard]] bool ReadyToSend() const noexcept override { return established_; }
    [[nodiscard]] bool Established() const noexcept override { return established_; }

  private:
    // Runs the handshake as far as the bytes in hand allow; false when it failed.
    bool Handshake();
    // Takes every plaintext byte that OpenSSL can give into `received`; false on failure.
    bool ReadPlaintext(std::vector<uint8_t>& received);
    // Moves what OpenSSL wrote into outgoing_.
    void Collect();
    // Sends what outgoing_ holds: Open when all went, Blocked, or Failed.
    KivoWire::LinkStatus Push();
    // The error of a handshake that OpenSSL gave up.
    Common::Error HandshakeFailure();
    // Makes `error` the link's final state.
    KivoWire::LinkStatus Fail(Common::Error error);

    const std::shared_ptr<const TlsContext> context_;
    SSL* const ssl_;
    BIO* const in_;   // owned by ssl_
    BIO* const out_;  // owned by ssl_
    const int fd_;
    const std::string host_;  // the name the server's certificate must carry; empty for servers
    bool established_ = false;
    bool peerClosed_ = false;
    Common::Error failed_;
    std::vector<uint8_t> outgoing_;
    size_t sent_ = 0;  // of outgoing_
};

OpenSslLink::~OpenSslLink() {
    // A courteous end when nothing else waits: the peer reads close_notify, not a cut.
    if (established_ && failed_.IsEmpty() && Held() == 0) {
        ERR_clear_error();
        (void)SSL_shutdown(ssl_);
        Collect();
        (void)KivoWire::SendSome(fd_, outgoing_);
    }
    ERR_clear_error();
    SSL_free(ssl_);
    ::close(fd_);
}

KivoWire::LinkStatus OpenSslLink::Receive(std::vector<uint8_t>& received, size_t budget,
                                          Common::Error& failure) {
    KivoWire::LinkStatus status = KivoWire::LinkStatus::Open;
    uint8_t chunk[16 * 1024];
    for (size_t taken = 0; failed_.IsEmpty() && !peerClosed_ && taken < budget;) {
        const long got =
            KivoWire::ReceiveSome(fd_, std::span(chunk, std::min(sizeof chunk, budget - taken)));
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (got < 0) {
            status = Fail(KivoWire::SocketFailure(
                COMMON_PLACE("KivoSecurity::OpenSslLink::Receive"), errno, "reading"));
            break;
        }
        if (got == 0) {
            if (!established_)
                status = Fail(CatalogError(COMMON_PLACE("KivoSecurity::OpenSslLink::Receive"),
                                           kHandshakeFailed, Common::kMsgSecurityHandshakeFailed,
                                           "the peer closed the connection"));
            peerClosed_ = true;
            break;
        }
        taken += static_cast<size_t>(got);
        if (BIO_write(in_, chunk, static_cast<int>(got)) != got) {
            status = Fail(CatalogError(COMMON_PLACE("KivoSecurity::OpenSslLink::Receive"),
                                       kTlsStreamFailed, Common::kMsgSecurityStreamBroken,
                                       TakeOpenSslReason("no memory")));
            break;
        }
        if (!Handshake() || !ReadPlaintext(received))
            break;
    }
    if (!failed_.IsEmpty()) {
        failure = failed_;
        return KivoWire::LinkStatus::Failed;
    }
    return peerClosed_ ? KivoWire::LinkStatus::Closed : status;
}

KivoWire::LinkStatus OpenSslLink::Send(std::span<const uint8_t> bytes, size_t& taken,
                                       Common::Error& failure) {
    taken = 0;
    KivoWire::LinkStatus status = KivoWire::LinkStatus::Open;
    // A client's first Send writes its hello.
    if (failed_.IsEmpty() && Handshake())
        status = Push();
    while (status == KivoWire::LinkStatus::Open && established_ && taken < bytes.size()) {
        const size_t piece = std::min(kWritePiece, bytes.size() - taken);
        ERR_clear_error();
        const int wrote = SSL_write(ssl_, bytes.data() + taken, static_cast<int>(piece));
        Collect();
        if (wrote <= 0) {
            status = Fail(CatalogError(COMMON_PLACE("KivoSecurity::OpenSslLink::Send"),
                                       kTlsStreamFailed, Common::kMsgSecurityStreamBroken,
                                       TakeOpenSslReason("the write failed")));
            break;
        }
        taken += static_cast<size_t>(wrote);
        status = Push();
    }
    if (!failed_.IsEmpty()) {
        failure = failed_;
        return KivoWire::LinkStatus::Failed;
    }
    return status;
}

bool OpenSslLink::Handshake() {
    if (established_)
        return true;
    ERR_clear_error();
    const int done = SSL_do_handshake(ssl_);
    Collect();
    if (done == 1) {
        established_ = true;
        return true;
    }
    if (SSL_get_error(ssl_, done) == SSL_ERROR_WANT_READ)
        return true;
    Fail(HandshakeFailure());
    // The alert that tells the peer why, if the socket takes it now.
    (void)KivoWire::SendSome(fd_, std::span<const uint8_t>(outgoing_).subspan(sent_));
    return false;
}

bool OpenSslLink::ReadPlaintext(std::vector<uint8_t>& received) {
    if (!established_)
        return true;
    uint8_t chunk[16 * 1024];
    for (;;) {
        ERR_clear_error();
        const int got = SSL_read(ssl_, chunk, sizeof chunk);
        Collect();  // a key update may have to be answered
        if (got > 0) {
            received.insert(received.end(), chunk, chunk + got);
            continue;
        }
        const int code = SSL_get_error(ssl_, got);
        if (code == SSL_ERROR_WANT_READ)
            return true;
        if (code == SSL_ERROR_ZERO_RETURN) {
            ERR_clear_error();
            peerClosed_ = true;
            return true;
        }
        Fail(CatalogError(COMMON_PLACE("KivoSecurity::OpenSslLink::ReadPlaintext"),
                          kTlsStreamFailed, Common::kMsgSecurityStreamBroken,
                          TakeOpenSslReason("the read failed")));
        return false;
    }
}

void OpenSslLink::Collect() {
    const size_t pending = BIO_ctrl_pending(out_);
    if (pending == 0)
        return;
    if (sent_ == outgoing_.size()) {
        outgoing_.clear();
        sent_ = 0;
    }
    const size_t start = outgoing_.size();
    outgoing_.resize(start + pending);
    const int read = BIO_read(out_, outgoing_.data() + start, static_cast<int>(pending));
    outgoing_.resize(start + static_cast<size_t>(std::max(read, 0)));
}

KivoWire::LinkStatus OpenSslLink::Push() {
    while (sent_ < outgoing_.size()) {
        const long sent =
            KivoWire::SendSome(fd_, std::span<const uint8_t>(outgoing_).subspan(sent_));
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return KivoWire::LinkStatus::Blocked;
        if (sent < 0)
            return Fail(KivoWire::SocketFailure(COMMON_PLACE("KivoSecurity::OpenSslLink::Push"),
                                                errno, "writing"));
        sent_ += static_cast<size_t>(sent);
    }
    return KivoWire::LinkStatus::Open;
}

Common::Error OpenSslLink::HandshakeFailure() {
    const long verified = SSL_get_verify_result(ssl_);
    if (!host_.empty() && verified != X509_V_OK) {
        ERR_clear_error();
        if (verified == X509_V_ERR_HOSTNAME_MISMATCH || verified == X509_V_ERR_IP_ADDRESS_MISMATCH)
            return CatalogError(COMMON_PLACE("KivoSecurity::OpenSslLink::HandshakeFailure"),
                                kHostNameMismatch, Common::kMsgSecurityHostMismatch, host_);
        return CatalogError(COMMON_PLACE("KivoSecurity::OpenSslLink::HandshakeFailure"),
                            kCertificateNotTrusted, Common::kMsgSecurityNotTrusted,
                            X509_verify_cert_error_string(verified));
    }
    return CatalogError(COMMON_PLACE("KivoSecurity::OpenSslLink::HandshakeFailure"),
                        kHandshakeFailed, Common::kMsgSecurityHandshakeFailed,
                        TakeOpenSslReason("the peer closed the connection"));
}

KivoWire::LinkStatus OpenSslLink::Fail(Common::Error error) {
    if (failed_.IsEmpty())
        failed_ = std::move(error);
    return KivoWire::LinkStatus::Failed;
}

// A link over `fd` of `context`'s side; the client's checks `host`. `fd` is closed on failure.
Common::Error MakeLink(std::shared_ptr<const TlsContext> context, int fd, const std::string& host,
                       bool client, std::unique_ptr<TlsLink>& link) {
    const auto refuse = [fd](const Common::SourceLocation& place, const std::string& why) {
        ::close(fd);
        return CatalogError(place, kTlsSetupFailed, Common::kMsgSecurityTlsSetupFailed, why);
    };
    if (context == nullptr || context->IsClient() != client)
        return refuse(COMMON_PLACE("KivoSecurity::MakeLink"),
                      client ? "a client link needs the client context"
                             : "a server link needs a server context");
    // Verification is never off: a client must name the host that the certificate must carry.
    if (client && (host.empty() || host.find('\0') != std::string::npos))
        return refuse(COMMON_PLACE("KivoSecurity::MakeLink"), "no host name to verify");
    ERR_clear_error();
    SSL* ssl = SSL_new(context->Get());
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    if (ssl == nullptr || in == nullptr || out == nullptr) {
        BIO_free(in);
        BIO_free(out);
        SSL_free(ssl);
        return refuse(COMMON_PLACE("KivoSecurity::MakeLink"), TakeOpenSslReason("no memory"));
    }
    SSL_set_bio(ssl, in, out);
    bool named = true;
    if (!client) {
        SSL_set_accept_state(ssl);
    } else if (IsAddressLiteral(host)) {
        SSL_set_connect_state(ssl);
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
    } else {
        SSL_set_connect_state(ssl);
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        named = SSL_set1_host(ssl, host.c_str()) == 1 &&
                SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
    }
    if (!named) {
        SSL_free(ssl);
        return refuse(COMMON_PLACE("KivoSecurity::MakeLink"),
                      "host '" + host + "': " + TakeOpenSslReason("not a host name"));
    }
    link = std::make_unique<OpenSslLink>(std::move(context), ssl, in, out, fd,
                                         client ? host : std::string());
    return Common::Error();
}

}  // namespace

Common::Error MakeClientLink(std::shared_ptr<const TlsContext> context, int fd,
                             const std::string& host, std::unique_ptr<TlsLink>& link) {
    return MakeLink(std::move(context), fd, host, true, link);
}

Common::Error MakeServerLink(std::shared_ptr<const TlsContext> context, int fd,
                             std::unique_ptr<TlsLink>& link) {
    return MakeLink(std::move(context), fd, std::string(), false, link);
}

}  // namespace KivoSecurity
