#include "platform/security/private_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/security/tls.h"

namespace KivoSecurity {

ScopedDescriptor::~ScopedDescriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

Common::Error ReadPrivateFile(const std::string& path, const PrivateFileRules& rules,
                              std::string& content, struct stat& identity) {
    const std::string named = std::string("KIVO: The ") + rules.what + " '" + path + "' ";
    const ScopedDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (file.Get() < 0 || ::fstat(file.Get(), &identity) != 0)
        return Common::Error(COMMON_PLACE("KivoSecurity::ReadPrivateFile"), rules.failureCode,
                             named + "cannot be read.")
            .AddWindowsError(static_cast<uint32_t>(errno));
    if (!S_ISREG(identity.st_mode))
        return Common::Error(COMMON_PLACE("KivoSecurity::ReadPrivateFile"), rules.failureCode,
                             named + "is not a regular file.");
    if (rules.mustBeOwn && identity.st_uid != ::geteuid())
        return Common::Error(COMMON_PLACE("KivoSecurity::ReadPrivateFile"), kFileTooOpen,
                             named + "belongs to user " + std::to_string(identity.st_uid) +
                                 ", not to user " + std::to_string(::geteuid()) + " who reads it.");
    if ((identity.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return Common::Error(COMMON_PLACE("KivoSecurity::ReadPrivateFile"), kFileTooOpen,
                             named + "may be read or written by group or others (chmod 600 it).");
    if (static_cast<uint64_t>(identity.st_size) > rules.maxBytes)
        return Common::Error(
            COMMON_PLACE("KivoSecurity::ReadPrivateFile"), rules.failureCode,
            named + "is larger than " + std::to_string(rules.maxBytes) + " bytes.");
    content.clear();
    char chunk[16 * 1024];
    for (;;) {
        const ssize_t got = ::read(file.Get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Common::Error(COMMON_PLACE("KivoSecurity::ReadPrivateFile"), rules.failureCode,
                                 named + "cannot be read.")
                .AddWindowsError(static_cast<uint32_t>(errno));
        if (got == 0)
            return Common::Error();
        // The file may grow after fstat.
        if (content.size() + static_cast<size_t>(got) > rules.maxBytes)
            return Common::Error(
                COMMON_PLACE("KivoSecurity::ReadPrivateFile"), rules.failureCode,
                named + "is larger than " + std::to_string(rules.maxBytes) + " bytes.");
        content.append(chunk, static_cast<size_t>(got));
    }
}

}  // namespace KivoSecurity
