// KivoSecurity::ReadPrivateFile: reads a file that holds a secret (a TLS key, the users file)
// and refuses it when others could read or change it; and ScopedDescriptor, which closes a file
// descriptor on every path.
//
// The checks run on the descriptor that is read (fstat), so a file swapped between the check
// and the read cannot slip through: a regular file, no permission bit for group or others
// (kFileTooOpen), owned by the reader when the rules ask for it, and no larger than the bound.
//
// Thread-safety: a pure function of the file system.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/common/error/error.h"

namespace KivoSecurity {

/// Closes the descriptor it holds (none when negative).
class ScopedDescriptor {
  public:
    explicit ScopedDescriptor(int fd) noexcept : fd_(fd) {}
    ~ScopedDescriptor();
    ScopedDescriptor(const ScopedDescriptor&) = delete;
    ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;

    [[nodiscard]] int Get() const noexcept { return fd_; }

  private:
    const int fd_;
};

/// What a private file is and how it is read.
struct PrivateFileRules {
    const char* what;      // "key file", "users file": for messages
    uint32_t failureCode;  // the error of a file that cannot be read or is too large
    size_t maxBytes;
    bool mustBeOwn;  // the file must belong to the effective user
};

/// Reads `path` into `content` under `rules`; `identity` receives the fstat of what was read.
[[nodiscard]] Common::Error ReadPrivateFile(const std::string& path, const PrivateFileRules& rules,
                                            std::string& content, struct stat& identity);

}  // namespace KivoSecurity
