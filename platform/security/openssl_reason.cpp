#include "platform/security/openssl_reason.h"

#include <openssl/err.h>

namespace KivoSecurity {

std::string TakeOpenSslReason(const char* fallback) {
    const unsigned long first = ERR_get_error();
    ERR_clear_error();
    if (first == 0)
        return fallback;
    char text[256];
    ERR_error_string_n(first, text, sizeof text);
    return text;
}

}  // namespace KivoSecurity
