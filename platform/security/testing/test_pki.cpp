#include "platform/security/testing/test_pki.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <memory>
#include <tuple>

#include "platform/security/openssl_reason.h"
#include "platform/security/tls.h"
#include "platform/security/users_file.h"

namespace KivoSecurityTesting {
namespace {

struct Deleter {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
    void operator()(X509* certificate) const noexcept { X509_free(certificate); }
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter>;
using Certificate = std::unique_ptr<X509, Deleter>;

[[noreturn]] void Fail(const std::string& what) {
    throw Common::Error(COMMON_PLACE("KivoSecurityTesting::MakeTestPki"),
                        KivoSecurity::kTlsSetupFailed,
                        "Test PKI: " + what + ": " + KivoSecurity::TakeOpenSslReason("no reason"));
}

// One certificate and its key.
struct Issued {
    Key key;
    Certificate certificate;
};

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr || X509_add_ext(certificate, extension, -1) != 1) {
        X509_EXTENSION_free(extension);
        Fail(std::string("extension ") + value);
    }
    X509_EXTENSION_free(extension);
}

// A certificate named `name` for a new key, signed by `issuer` (self-signed when null); a CA, or
// a server certificate made out to the names of `altNames` ("IP:...,DNS:...").
Issued Issue(const char* name, const Issued* issuer, const char* altNames) {
    static std::atomic<long> serial = 1;
    Issued issued{Key(EVP_EC_gen("P-256")), Certificate(X509_new())};
    X509* certificate = issued.certificate.get();
    X509_NAME* subject = X509_get_subject_name(certificate);
    if (issued.key == nullptr || certificate == nullptr || X509_set_version(certificate, 2) != 1 ||
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(certificate), 30L * 24 * 3600) == nullptr ||
        X509_set_pubkey(certificate, issued.key.get()) != 1 ||
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(name), -1, -1, 0) != 1)
        Fail(std::string("certificate ") + name);
    X509* signer = issuer != nullptr ? issuer->certificate.get() : certificate;
    if (X509_set_issuer_name(certificate, X509_get_subject_name(signer)) != 1)
        Fail(std::string("issuer of ") + name);
    AddExtension(certificate, signer, NID_subject_key_identifier, "hash");
    if (altNames == nullptr) {
        AddExtension(certificate, signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(certificate, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(certificate, signer, NID_authority_key_identifier, "keyid:always");
        AddExtension(certificate, signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(certificate, signer, NID_key_usage, "critical,digitalSignature");
        AddExtension(certificate, signer, NID_ext_key_usage, "serverAuth");
        AddExtension(certificate, signer, NID_subject_alt_name, altNames);
    }
    EVP_PKEY* signingKey = issuer != nullptr ? issuer->key.get() : issued.key.get();
    if (X509_sign(certificate, signingKey, EVP_sha256()) == 0)
        Fail(std::string("signature of ") + name);
    return issued;
}

// Writes `text` to the new file `path` with `mode`.
void WriteFile(const std::string& path, const std::string& text, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    const bool written = fd >= 0 && ::fchmod(fd, mode) == 0 &&
                         ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0)
        ::close(fd);
    if (!written)
        throw Common::LastSystemError(COMMON_PLACE("KivoSecurityTesting::WriteFile"),
                                      KivoSecurity::kTlsSetupFailed);
}

// The PEM text that `write` puts into a memory BIO.
template <class Write>
std::string Pem(Write write) {
    const std::unique_ptr<BIO, Deleter> bio(BIO_new(BIO_s_mem()));
    if (bio == nullptr || write(bio.get()) != 1)
        Fail("PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

// Writes the certificate of `issued` to `<folder>/<name>.pem`, and with `withKey` its key to
// `<folder>/<name>.key`; returns the paths.
std::pair<std::string, std::string> Save(const Issued& issued, const std::string& folder,
                                         const char* name, bool withKey) {
    const std::string certificate = folder + "/" + name + ".pem";
    WriteFile(certificate,
              Pem([&](BIO* bio) { return PEM_write_bio_X509(bio, issued.certificate.get()); }),
              0644);
    if (!withKey)
        return {certificate, ""};
    const std::string key = folder + "/" + name + ".key";
    WriteFile(key, Pem([&](BIO* bio) {
                  return PEM_write_bio_PrivateKey(bio, issued.key.get(), nullptr, nullptr, 0,
                                                  nullptr, nullptr);
              }),
              0600);
    return {certificate, key};
}

}  // namespace

TestPki MakeTestPki(const std::string& folder) {
    TestPki pki;
    const Issued ca = Issue("Kivo Test CA", nullptr, nullptr);
    const Issued untrustedCa = Issue("Kivo Untrusted CA", nullptr, nullptr);
    pki.caFile = Save(ca, folder, "ca", false).first;
    pki.untrustedCaFile = Save(untrustedCa, folder, "untrusted-ca", false).first;
    std::tie(pki.serverCertFile, pki.serverKeyFile) =
        Save(Issue("localhost", &ca, "IP:127.0.0.1,DNS:localhost"), folder, "server", true);
    std::tie(pki.otherHostCertFile, pki.otherHostKeyFile) =
        Save(Issue("other.example", &ca, "DNS:other.example"), folder, "other", true);
    std::tie(pki.untrustedCertFile, pki.untrustedKeyFile) = Save(
        Issue("localhost", &untrustedCa, "IP:127.0.0.1,DNS:localhost"), folder, "untrusted", true);
    return pki;
}

void WriteTestUsers(const std::string& path,
                    const std::vector<std::pair<std::string, std::string>>& users) {
    std::vector<KivoSecurity::PasswordRecord> records(users.size());
    for (size_t i = 0; i < users.size(); ++i) {
        if (Common::Error failed =
                KivoSecurity::MakeRecord(users[i].first, users[i].second, kCheapScrypt, records[i]);
            !failed.IsEmpty())
            throw failed;
    }
    if (Common::Error failed = KivoSecurity::WriteUsersFile(path, records); !failed.IsEmpty())
        throw failed;
}

}  // namespace KivoSecurityTesting
