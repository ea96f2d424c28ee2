// KivoSecurity users file: who may use a service over the network, and how their passwords are
// checked.
//
// The file is text, one record per line, fields separated by ':':
//
//   <user>:scrypt:<N>:<r>:<p>:<salt, 32 hex digits>:<hash, 64 hex digits>
//
// A user name is 1 to 256 bytes of UTF-8 without ':', control characters or spaces at either
// end; names are unique. Blank lines and lines beginning with '#' are kept out of the records
// (and dropped when the file is written back). Bounds: at most 10,000 records and 4 MiB (room
// for that many records of the longest names); a line that breaks the format fails the whole
// file, naming its line number. The file must belong to the reader and group and others may not
// read or write it (kFileTooOpen): it holds what a password guesser needs.
//
// WriteUsersFile replaces the file atomically: a temporary file in the same directory (mode
// 0600), written, fsync'ed, renamed over the old one, and the directory fsync'ed; a crash leaves
// the old file or the new one, never a mix. UpdateUsersFile reads, changes and writes the file
// under an exclusive flock of "<file>.lock", so that two programs changing it at once (two runs
// of `kivod passwd`) both keep their change.
//
// Thread-safety: the functions are safe from any thread; a PasswordVerifier may be shared.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "platform/security/password_hash.h"

namespace KivoSecurity {

/// A users file that cannot be read, breaks the format or passes the bounds.
inline constexpr uint32_t kUsersFileBad = 0x2740019;

/// Bounds of a users file.
inline constexpr size_t kMaxUsersFileBytes = size_t{4} << 20;
inline constexpr size_t kMaxUsers = 10000;
inline constexpr size_t kMaxUserNameBytes = 256;

/// The records of the text of a users file.
[[nodiscard]] Common::Error ParseUsers(std::string_view text, std::vector<PasswordRecord>& records);
/// The text of `records`.
[[nodiscard]] std::string FormatUsers(const std::vector<PasswordRecord>& records);

/// Reads the users file at `path` (see the file comment for its checks).
[[nodiscard]] Common::Error ReadUsersFile(const std::string& path,
                                          std::vector<PasswordRecord>& records);
/// Replaces the users file at `path` with `records` (see the file comment). Records that the
/// file could not hold (a bad name, a name twice, parameters out of bounds, too many) are refused
/// with kUsersFileBad before anything is written.
[[nodiscard]] Common::Error WriteUsersFile(const std::string& path,
                                           const std::vector<PasswordRecord>& records);

/// Under the lock of the file comment: reads the users file at `path` (a file that does not
/// exist yet holds no records), hands the records to `change`, and writes them back unless
/// `change` fails, whose error is then the result.
[[nodiscard]] Common::Error UpdateUsersFile(
    const std::string& path,
    const std::function<Common::Error(std::vector<PasswordRecord>&)>& change);

/// Checks user names and passwords against a users file.
///
/// The file is read by Load and read again by Verify whenever it has changed on disk (another
/// inode, size or modification time), so that users added with `kivod passwd` can log in
/// without a restart; a changed file that cannot be read keeps the records held before. An
/// unknown user is checked against a dummy record with the default parameters, so that the
/// answer and its time are those of a wrong password; hashes are compared with CRYPTO_memcmp.
class PasswordVerifier {
  public:
    /// The key derivation; a seam for tests, which count the derivations.
    using Derive = std::function<Common::Error(
        std::string_view password, std::span<const uint8_t, kSaltBytes> salt,
        const ScryptParameters& parameters, std::array<uint8_t, kHashBytes>& hash)>;

    explicit PasswordVerifier(std::string path, Derive derive = DeriveKey);

    /// Reads the file; its error when it cannot be read.
    [[nodiscard]] Common::Error Load();
    /// True when `password` is `user`'s. Runs the derivation exactly once whatever the answer.
    [[nodiscard]] bool Verify(std::string_view user, std::string_view password);

  private:
    // Reads the file again when it has changed; under lock_. The error of a failed read.
    Common::Error RefreshLocked();

    const std::string path_;
    const Derive derive_;
    std::mutex lock_;
    std::vector<PasswordRecord> records_;
    PasswordRecord dummy_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    off_t size_ = 0;
    int64_t modified_ = 0;
};

}  // namespace KivoSecurity
