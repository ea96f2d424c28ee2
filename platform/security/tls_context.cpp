#include "platform/security/tls_context.h"

#include <sys/stat.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "platform/security/openssl_reason.h"
#include "platform/security/private_file.h"
#include "platform/security/tls.h"

namespace KivoSecurity {
namespace {

constexpr size_t kMaxKeyFileBytes = size_t{1} << 20;

struct Deleter {
    void operator()(SSL_CTX* context) const noexcept { SSL_CTX_free(context); }
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
using Context = std::unique_ptr<SSL_CTX, Deleter>;

Common::Error CatalogError(const Common::SourceLocation& place, uint32_t code,
                           Common::MessageId message, const std::string& insert) {
    return Common::Error(place, code,
                         Common::FormatCatalogMessage(Common::GetCatalogMessage(message),
                                                      {Common::ToUtf16(insert)}));
}

// A context of `method` that speaks TLS 1.3 and nothing older and issues no session tickets.
Common::Error MakeContext(const SSL_METHOD* method, Context& context) {
    context.reset(SSL_CTX_new(method));
    if (context == nullptr || SSL_CTX_set_min_proto_version(context.get(), TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_num_tickets(context.get(), 0) != 1)
        return CatalogError(COMMON_PLACE("KivoSecurity::MakeContext"), kTlsSetupFailed,
                            Common::kMsgSecurityTlsSetupFailed,
                            TakeOpenSslReason("no context can be made"));
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_OFF);
    return Common::Error();
}

// Adds the certificates of the PEM file `path` to the context's store.
Common::Error LoadCaFile(const std::string& path, SSL_CTX* context) {
    ERR_clear_error();
    // A directory opens, and its reads fail without a word from OpenSSL.
    struct stat status {};
    errno = 0;
    const bool notDirectory = ::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode);
    const std::unique_ptr<BIO, Deleter> file(notDirectory ? BIO_new_file(path.c_str(), "r")
                                                          : nullptr);
    int systemError = notDirectory ? errno : EISDIR;
    size_t count = 0;
    if (file != nullptr) {
        X509_STORE* store = SSL_CTX_get_cert_store(context);
        while (X509* certificate = PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)) {
            count += X509_STORE_add_cert(store, certificate) == 1 ? 1 : 0;
            X509_free(certificate);
        }
        // A read that failed (a directory, an I/O error) is not an empty file.
        systemError = 0;
        for (unsigned long queued; (queued = ERR_get_error()) != 0;) {
            if (ERR_SYSTEM_ERROR(queued))
                systemError = ERR_GET_REASON(queued);
        }
    }
    ERR_clear_error();
    if (file == nullptr || (count == 0 && systemError != 0))
        return CatalogError(COMMON_PLACE("KivoSecurity::LoadCaFile"), kCaFileUnreadable,
                            Common::kMsgSecurityCaFileUnreadable, path)
            .AddWindowsError(static_cast<uint32_t>(systemError != 0 ? systemError : EIO));
    if (count == 0)
        return CatalogError(COMMON_PLACE("KivoSecurity::LoadCaFile"), kCaFileEmpty,
                            Common::kMsgSecurityCaFileEmpty, path);
    return Common::Error();
}

Common::Error MakeClientContext(const std::optional<std::string>& caFile,
                                std::shared_ptr<const TlsContext>& made) {
    Context context;
    if (Common::Error failed = MakeContext(TLS_client_method(), context); !failed.IsEmpty())
        return failed;
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    if (caFile) {
        if (Common::Error failed = LoadCaFile(*caFile, context.get()); !failed.IsEmpty())
            return failed;
    } else if (SSL_CTX_set_default_verify_paths(context.get()) != 1) {
        return CatalogError(COMMON_PLACE("KivoSecurity::MakeClientContext"), kTlsSetupFailed,
                            Common::kMsgSecurityTlsSetupFailed,
                            TakeOpenSslReason("the system's certificates cannot be found"));
    }
    made = std::make_shared<const TlsContext>(context.release(), true);
    return Common::Error();
}

// A certificate or key file that OpenSSL refused: `problem` and OpenSSL's reason.
Common::Error ServerFileBad(const Common::SourceLocation& place, const char* what,
                            const std::string& path, const char* problem) {
    return Common::Error(place, kTlsSetupFailed,
                         std::string("KIVO: The ") + what + " '" + path + "' " + problem + ": " +
                             TakeOpenSslReason("no reason given") + ".");
}

}  // namespace

Common::Error ClientContext(std::shared_ptr<const TlsContext>& context) {
    // The context of the CA file named now: a test, or a program that changes the variable,
    // gets a context of the file it names. Never destroyed: OpenSSL cleans up at exit, and a
    // context freed after that would touch what it freed.
    struct Held {
        std::mutex lock;
        std::shared_ptr<const TlsContext> context;
        std::optional<std::string> caFile;
    };
    static Held* const held = new Held;
    const char* named = std::getenv(kCaFileVariable);
    const std::optional<std::string> caFile =
        named != nullptr ? std::optional<std::string>(named) : std::nullopt;
    std::lock_guard<std::mutex> hold(held->lock);
    if (held->context == nullptr || held->caFile != caFile) {
        std::shared_ptr<const TlsContext> made;
        if (Common::Error failed = MakeClientContext(caFile, made); !failed.IsEmpty())
            return failed;
        held->context = std::move(made);
        held->caFile = caFile;
    }
    context = held->context;
    return Common::Error();
}

Common::Error MakeServerContext(const std::string& certificateFile, const std::string& keyFile,
                                std::shared_ptr<const TlsContext>& context) {
    std::string keyText;
    struct stat identity {};
    const PrivateFileRules rules{"key file", kTlsSetupFailed, kMaxKeyFileBytes, false};
    Common::Error failed = ReadPrivateFile(keyFile, rules, keyText, identity);
    std::unique_ptr<EVP_PKEY, Deleter> key;
    if (failed.IsEmpty()) {
        const std::unique_ptr<BIO, Deleter> text(
            BIO_new_mem_buf(keyText.data(), static_cast<int>(keyText.size())));
        key.reset(text != nullptr ? PEM_read_bio_PrivateKey(text.get(), nullptr, nullptr, nullptr)
                                  : nullptr);
        if (key == nullptr)
            failed = ServerFileBad(COMMON_PLACE("KivoSecurity::MakeServerContext"), "key file",
                                   keyFile, "holds no private key");
    }
    OPENSSL_cleanse(keyText.data(), keyText.size());
    if (!failed.IsEmpty())
        return failed;
    Context made;
    if (failed = MakeContext(TLS_server_method(), made); !failed.IsEmpty())
        return failed;
    SSL_CTX_set_verify(made.get(), SSL_VERIFY_NONE, nullptr);
    if (SSL_CTX_use_certificate_chain_file(made.get(), certificateFile.c_str()) != 1)
        return ServerFileBad(COMMON_PLACE("KivoSecurity::MakeServerContext"), "certificate file",
                             certificateFile, "cannot be used");
    if (SSL_CTX_use_PrivateKey(made.get(), key.get()) != 1 ||
        SSL_CTX_check_private_key(made.get()) != 1)
        return ServerFileBad(COMMON_PLACE("KivoSecurity::MakeServerContext"), "key file", keyFile,
                             "does not match the certificate");
    context = std::make_shared<const TlsContext>(made.release(), false);
    return Common::Error();
}

}  // namespace KivoSecurity
