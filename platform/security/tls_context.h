// KivoSecurity::TlsContext: the OpenSSL context (SSL_CTX) behind the contexts of tls.h, as the
// links of this library use it.
//
// Thread-safety: immutable once made; SSL_CTX may make links on any thread.
#pragma once

#include <openssl/ssl.h>

#include "core/common/noncopyable.h"

namespace KivoSecurity {

/// See the file comment.
class TlsContext : private Common::NonCopyable {
  public:
    /// Takes `context`, made for the client side when `client`.
    TlsContext(SSL_CTX* context, bool client) noexcept : context_(context), client_(client) {}
    ~TlsContext() { SSL_CTX_free(context_); }

    [[nodiscard]] SSL_CTX* Get() const noexcept { return context_; }
    [[nodiscard]] bool IsClient() const noexcept { return client_; }

  private:
    SSL_CTX* const context_;
    const bool client_;
};

}  // namespace KivoSecurity
