#include "tests/support/test_pki.h"

#include <sys/stat.h>

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>

#include "platform/security/openssl_reason.h"
#include "platform/security/tls.h"
#include "platform/security/users_file.h"
#include "tests/support/temporary_folder.h"

namespace KivoSecurityTesting {
namespace {

struct Deleter {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
    void operator()(X509* certificate) const noexcept { X509_free(certificate); }
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};

// One certificate and its key.
struct Issued {
    std::unique_ptr<EVP_PKEY, Deleter> key;
    std::unique_ptr<X509, Deleter> certificate;
};

void ThrowIf(Common::Error failed) {
    if (!failed.IsEmpty())
        throw failed;
}

void Check(bool done, const std::string& what) {
    if (!done)
        throw Common::Error(
            COMMON_PLACE("KivoSecurityTesting::MakeTestPki"), KivoSecurity::kTlsSetupFailed,
            "Test PKI: " + what + ": " + KivoSecurity::TakeOpenSslReason("no reason"));
}

// Writes to `path`, which gets `mode` before any byte, what `write` puts into a file BIO.
template <class Write>
void Save(const std::string& path, mode_t mode, Write write) {
    const std::unique_ptr<BIO, Deleter> file(BIO_new_file(path.c_str(), "w"));
    Check(file != nullptr && ::chmod(path.c_str(), mode) == 0 && write(file.get()) == 1, path);
}

// A certificate named `name` for a new key, signed by `issuer` for `altNames` ("IP:...,DNS:...")
// or else a CA of its own; saved, unless `files` is empty, to `files`.pem and `files`.key.
Issued Issue(const char* name, const Issued* issuer, const char* altNames,
             const std::string& files) {
    Issued issued{decltype(Issued::key)(EVP_EC_gen("P-256")),
                  decltype(Issued::certificate)(X509_new())};
    X509* certificate = issued.certificate.get();
    X509* signer = issuer != nullptr ? issuer->certificate.get() : certificate;
    X509V3_CTX context;
    X509V3_set_ctx(&context, signer, certificate, nullptr, nullptr, 0);
    // Servers are made out to their names; a CA may sign certificates.
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(
        nullptr, &context, issuer != nullptr ? NID_subject_alt_name : NID_basic_constraints,
        issuer != nullptr ? altNames : "CA:TRUE");
    Check(issued.key != nullptr && certificate != nullptr && extension != nullptr &&
              X509_set_version(certificate, 2) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(certificate), -3600) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(certificate), 30L * 24 * 3600) != nullptr &&
              X509_set_pubkey(certificate, issued.key.get()) == 1 &&
              X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char*>(name), -1, -1,
                                         0) == 1 &&
              X509_set_issuer_name(certificate, X509_get_subject_name(signer)) == 1 &&
              X509_add_ext(certificate, extension, -1) == 1 &&
              X509_sign(certificate, (issuer != nullptr ? issuer : &issued)->key.get(),
                        EVP_sha256()) != 0,
          name);
    X509_EXTENSION_free(extension);
    if (!files.empty()) {
        Save(files + ".pem", 0644,
             [&](BIO* file) { return PEM_write_bio_X509(file, certificate); });
        Save(files + ".key", 0600, [&](BIO* file) {
            return PEM_write_bio_PrivateKey(file, issued.key.get(), nullptr, nullptr, 0, nullptr,
                                            nullptr);
        });
    }
    return issued;
}

}  // namespace

TestPki MakeTestPki(const std::string& folder) {
    const Issued ca = Issue("Kivo Test CA", nullptr, nullptr, folder + "/ca");
    const Issued untrustedCa = Issue("Kivo Untrusted CA", nullptr, nullptr, "");
    Issue("localhost", &ca, "IP:127.0.0.1,DNS:localhost", folder + "/server");
    Issue("other.example", &ca, "DNS:other.example", folder + "/other");
    Issue("localhost", &untrustedCa, "IP:127.0.0.1,DNS:localhost", folder + "/untrusted");
    return {folder + "/ca.pem",       folder + "/server.pem", folder + "/server.key",
            folder + "/other.pem",    folder + "/other.key",  folder + "/untrusted.pem",
            folder + "/untrusted.key"};
}

void WriteTestUsers(const std::string& path,
                    const std::vector<std::pair<std::string, std::string>>& users) {
    std::vector<KivoSecurity::PasswordRecord> records(users.size());
    for (size_t i = 0; i < users.size(); ++i)
        ThrowIf(
            KivoSecurity::MakeRecord(users[i].first, users[i].second, kCheapScrypt, records[i]));
    ThrowIf(KivoSecurity::WriteUsersFile(path, records));
}

const std::string& TestFolder() {
    static const KivoTestSupport::TemporaryFolder folder("kivo-test-");
    return folder.Path();
}

}  // namespace KivoSecurityTesting
