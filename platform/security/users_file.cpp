#include "platform/security/users_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <set>

#include "core/common/text.h"
#include "platform/security/private_file.h"

namespace KivoSecurity {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr size_t kFields = 7;

Common::Error LineBad(size_t line, const std::string& what) {
    return Common::Error(COMMON_PLACE("KivoSecurity::ParseUsers"), kUsersFileBad,
                         "KIVO: Line " + std::to_string(line) + " of the users file " + what + ".");
}

Common::Error FileFailed(const Common::SourceLocation& place, const std::string& path,
                         const char* doing) {
    return Common::Error(place, kUsersFileBad,
                         "KIVO: The users file '" + path + "' cannot be " + doing + ".")
        .AddWindowsError(static_cast<uint32_t>(errno));
}

bool ValidUserName(std::string_view name) {
    if (name.empty() || name.size() > kMaxUserNameBytes || name.front() == ' ' ||
        name.back() == ' ')
        return false;
    const bool control = std::any_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == ':';
    });
    std::u16string wide;
    return !control && Common::Utf8ToUtf16(name, wide);
}

bool ReadNumber(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 19 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    return std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc();
}

bool ReadHex(std::string_view text, std::span<uint8_t> bytes) {
    if (text.size() != 2 * bytes.size())
        return false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int high = Common::HexDigitValue(text[2 * i]);
        const int low = Common::HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

void AppendHex(std::string& text, std::span<const uint8_t> bytes) {
    for (const uint8_t byte : bytes) {
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 15];
    }
}

// One record line (without its end); an error naming `line` when it breaks the format.
Common::Error ParseRecord(std::string_view text, size_t line, PasswordRecord& record) {
    std::vector<std::string_view> fields;
    for (size_t at = 0;;) {
        const size_t colon = text.find(':', at);
        fields.push_back(text.substr(at, colon == std::string_view::npos ? colon : colon - at));
        if (colon == std::string_view::npos || fields.size() > kFields)
            break;
        at = colon + 1;
    }
    if (fields.size() != kFields)
        return LineBad(line, "is not <user>:scrypt:<N>:<r>:<p>:<salt>:<hash>");
    if (!ValidUserName(fields[0]))
        return LineBad(line,
                       "names no valid user (1 to 256 bytes of UTF-8, no ':', no control "
                       "characters, no spaces at either end)");
    if (fields[1] != "scrypt")
        return LineBad(line, "uses a hash other than scrypt");
    uint64_t n = 0, r = 0, p = 0;
    if (!ReadNumber(fields[2], n) || !ReadNumber(fields[3], r) || !ReadNumber(fields[4], p) ||
        r > UINT32_MAX || p > UINT32_MAX)
        return LineBad(line, "has an scrypt parameter that is not a decimal number");
    record.user = fields[0];
    record.parameters = ScryptParameters{n, static_cast<uint32_t>(r), static_cast<uint32_t>(p)};
    if (Common::Error bad = CheckParameters(record.parameters); !bad.IsEmpty())
        return LineBad(line, "has scrypt parameters outside the bounds").Add(bad);
    if (!ReadHex(fields[5], record.salt))
        return LineBad(line, "has a salt that is not 32 hexadecimal digits");
    if (!ReadHex(fields[6], record.hash))
        return LineBad(line, "has a hash that is not 64 hexadecimal digits");
    return Common::Error();
}

// ReadUsersFile, with the fstat of the file that was read.
Common::Error ReadUsers(const std::string& path, std::vector<PasswordRecord>& records,
                        struct stat& identity) {
    std::string text;
    const PrivateFileRules rules{"users file", kUsersFileBad, kMaxUsersFileBytes, true};
    if (Common::Error bad = ReadPrivateFile(path, rules, text, identity); !bad.IsEmpty())
        return bad;
    if (Common::Error bad = ParseUsers(text, records); !bad.IsEmpty())
        return Common::Error(COMMON_PLACE("KivoSecurity::ReadUsersFile"), kUsersFileBad,
                             "KIVO: The users file '" + path + "' cannot be used.")
            .Add(bad);
    return Common::Error();
}

// The directory of `path`, for its fsync.
std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes all of `text` to `fd`.
bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

}  // namespace

Common::Error ParseUsers(std::string_view text, std::vector<PasswordRecord>& records) {
    if (text.size() > kMaxUsersFileBytes)
        return Common::Error(COMMON_PLACE("KivoSecurity::ParseUsers"), kUsersFileBad,
                             "KIVO: The users file is larger than " +
                                 std::to_string(kMaxUsersFileBytes) + " bytes.");
    std::vector<PasswordRecord> read;
    std::set<std::string, std::less<>> names;
    size_t line = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        std::string_view content = text.substr(at, end - at);
        at = end + 1;
        ++line;
        if (!content.empty() && content.back() == '\r')
            content.remove_suffix(1);
        if (content.find_first_not_of(" \t") == std::string_view::npos || content[0] == '#')
            continue;
        if (read.size() == kMaxUsers)
            return LineBad(line, "passes the bound of " + std::to_string(kMaxUsers) + " users");
        PasswordRecord record;
        if (Common::Error bad = ParseRecord(content, line, record); !bad.IsEmpty())
            return bad;
        if (!names.insert(record.user).second)
            return LineBad(line, "names user '" + record.user + "' a second time");
        read.push_back(std::move(record));
    }
    records = std::move(read);
    return Common::Error();
}

std::string FormatUsers(const std::vector<PasswordRecord>& records) {
    std::string text;
    for (const PasswordRecord& record : records) {
        text += record.user + ":scrypt:" + std::to_string(record.parameters.n) + ":" +
                std::to_string(record.parameters.r) + ":" + std::to_string(record.parameters.p) +
                ":";
        AppendHex(text, record.salt);
        text += ':';
        AppendHex(text, record.hash);
        text += '\n';
    }
    return text;
}

Common::Error ReadUsersFile(const std::string& path, std::vector<PasswordRecord>& records) {
    struct stat identity {};
    return ReadUsers(path, records, identity);
}

Common::Error WriteUsersFile(const std::string& path, const std::vector<PasswordRecord>& records) {
    const std::string text = FormatUsers(records);
    // What could not be read back is never written.
    std::vector<PasswordRecord> check;
    if (Common::Error bad = ParseUsers(text, check); !bad.IsEmpty())
        return Common::Error(COMMON_PLACE("KivoSecurity::WriteUsersFile"), kUsersFileBad,
                             "KIVO: The users cannot be written to '" + path + "'.")
            .Add(bad);
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return FileFailed(COMMON_PLACE("KivoSecurity::WriteUsersFile"), path, "written");
    bool done = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && done) {
        done = false;
        error = errno;
    }
    if (done && ::rename(temporary.c_str(), path.c_str()) != 0) {
        done = false;
        error = errno;
    }
    if (!done) {
        ::unlink(temporary.c_str());
        errno = error;
        return FileFailed(COMMON_PLACE("KivoSecurity::WriteUsersFile"), path, "written");
    }
    // The rename itself reaches the disk with the directory.
    const int directory = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = directory >= 0 && ::fsync(directory) == 0;
    if (directory >= 0)
        ::close(directory);
    if (!synced)
        return FileFailed(COMMON_PLACE("KivoSecurity::WriteUsersFile"), path, "synced");
    return Common::Error();
}

Common::Error UpdateUsersFile(
    const std::string& path,
    const std::function<Common::Error(std::vector<PasswordRecord>&)>& change) {
    const std::string lockPath = path + ".lock";
    const ScopedDescriptor lock(
        ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (lock.Get() < 0)
        return FileFailed(COMMON_PLACE("KivoSecurity::UpdateUsersFile"), lockPath, "opened");
    int locked;
    while ((locked = ::flock(lock.Get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0)
        return FileFailed(COMMON_PLACE("KivoSecurity::UpdateUsersFile"), lockPath, "locked");
    // The lock is held until `lock` closes, on every path below.
    std::vector<PasswordRecord> records;
    struct stat identity {};
    if (::stat(path.c_str(), &identity) == 0 || errno != ENOENT) {
        if (Common::Error bad = ReadUsers(path, records, identity); !bad.IsEmpty())
            return bad;
    }
    if (Common::Error refused = change(records); !refused.IsEmpty())
        return refused;
    return WriteUsersFile(path, records);
}

PasswordVerifier::PasswordVerifier(std::string path, Derive derive)
    : path_(std::move(path)), derive_(std::move(derive)) {
    // A salt and hash that no password is known to give; should the generator fail, the dummy
    // still never matches, since an unknown user is refused whatever the comparison says.
    dummy_.parameters = kDefaultScrypt;
    (void)RAND_bytes(dummy_.salt.data(), static_cast<int>(dummy_.salt.size()));
    (void)RAND_bytes(dummy_.hash.data(), static_cast<int>(dummy_.hash.size()));
}

Common::Error PasswordVerifier::Load() {
    std::lock_guard<std::mutex> hold(lock_);
    return RefreshLocked();
}

bool PasswordVerifier::Verify(std::string_view user, std::string_view password) {
    PasswordRecord record;
    bool known = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        (void)RefreshLocked();  // a file that cannot be read now keeps the records held
        const auto found =
            std::find_if(records_.begin(), records_.end(),
                         [&](const PasswordRecord& held) { return held.user == user; });
        known = found != records_.end();
        record = known ? *found : dummy_;
    }
    // Outside the lock: derivations of several logins may run at once.
    std::array<uint8_t, kHashBytes> hash{};
    if (!derive_(password, record.salt, record.parameters, hash).IsEmpty())
        return false;
    const bool equal = CRYPTO_memcmp(hash.data(), record.hash.data(), kHashBytes) == 0;
    return known && equal;
}

Common::Error PasswordVerifier::RefreshLocked() {
    struct stat now {};
    const auto modified = [](const struct stat& status) {
        return int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec;
    };
    if (::stat(path_.c_str(), &now) == 0 && now.st_dev == device_ && now.st_ino == inode_ &&
        now.st_size == size_ && modified(now) == modified_)
        return Common::Error();
    std::vector<PasswordRecord> records;
    struct stat identity {};
    if (Common::Error bad = ReadUsers(path_, records, identity); !bad.IsEmpty())
        return bad;
    records_ = std::move(records);
    device_ = identity.st_dev;
    inode_ = identity.st_ino;
    size_ = identity.st_size;
    modified_ = modified(identity);
    return Common::Error();
}

}  // namespace KivoSecurity
