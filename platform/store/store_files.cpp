#include "platform/store/store_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/store/store_errors.h"

namespace KivoStore {
namespace {

// The start of an SQLite file's header, and the offset of its read version: 2 in WAL mode.
constexpr char kSqliteMagic[16] = "SQLite format 3";
constexpr size_t kReadVersionOffset = 19;

bool MayAccess(const std::string& path, int mode) {
    return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

std::string FolderOf(const std::string& file) {
    const size_t slash = file.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string ThisUser() {
    return "this user (uid " + std::to_string(::geteuid()) + ")";
}

// True when `file` is an SQLite database in WAL mode; false for any other file, which SQLite
// then reads (or refuses) without the side files.
bool InWalMode(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::array<char, kReadVersionOffset + 1> header{};
    const ssize_t got = ::pread(fd, header.data(), header.size(), 0);
    ::close(fd);
    return got == static_cast<ssize_t>(header.size()) &&
           std::memcmp(header.data(), kSqliteMagic, sizeof kSqliteMagic) == 0 &&
           header[kReadVersionOffset] == 2;
}

// Whether the writers of the store `info` describes could write a side file that this process
// makes in `folder`: SQLite gives it the store's mode, and this user as owner unless it is root,
// which hands it the store's owner and group.
bool WritersCouldWrite(const struct stat& info, const std::string& folder) {
    const uid_t self = ::geteuid();
    const mode_t mode = info.st_mode & 0777;
    if (self == 0 || self == info.st_uid)
        return (mode & S_IWUSR) != 0;
    struct stat folderInfo {};
    const bool setGroup =
        ::stat(folder.c_str(), &folderInfo) == 0 && (folderInfo.st_mode & S_ISGID) != 0;
    const gid_t group = setGroup ? folderInfo.st_gid : ::getegid();
    return group == info.st_gid ? (mode & S_IWGRP) != 0 : (mode & S_IWOTH) != 0;
}

// The problem of a read-only open that has to let SQLite make `sideFile`; empty when none.
Common::Error ReadingWouldCreate(const std::string& file, const struct stat& info,
                                 const std::string& sideFile) {
    const std::string folder = FolderOf(file);
    if (!MayAccess(folder, W_OK | X_OK))
        return Common::Error(COMMON_PLACE("KivoStore::ReadingWouldCreate"), kStoreFailure,
                             "KIVO: Cannot read the store '" + file + "': '" + sideFile +
                                 "' does not exist, as when no program has the store open, and "
                                 "SQLite would have to make it in the folder '" +
                                 folder + "', where " + ThisUser() + " has no write permission.");
    if (WritersCouldWrite(info, folder))
        return Common::Error();
    const std::string mode = ModeText(info.st_mode & 0777);
    const uid_t self = ::geteuid();
    if (self == 0 || self == info.st_uid)
        return Common::Error(
            COMMON_PLACE("KivoStore::ReadingWouldCreate"), kStoreFailure,
            "KIVO: Cannot read the store '" + file + "' while no program has it open: " +
                "SQLite would make '" + sideFile + "' with the store's mode " + mode +
                ", in which its owner may not write either, and the file would stay after this "
                "read and refuse every write once the store is made writable again. Make the "
                "store writable by its owner first (chmod u+w).");
    return Common::Error(
        COMMON_PLACE("KivoStore::ReadingWouldCreate"), kStoreFailure,
        "KIVO: Cannot read the store '" + file +
            "' while no program has it open: " + "SQLite would make '" + sideFile + "' owned by " +
            ThisUser() + " with the store's mode " + mode +
            ", and the file would stay and refuse the writes of the store's owner (uid " +
            std::to_string(info.st_uid) + "). Read it while a program holds the store open.");
}

}  // namespace

Common::Error StoreAccessProblem(const ConnectionTarget& target) {
    if (target.inMemory)
        return Common::Error();
    const std::string& file = target.filePath;
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return Common::Error();
    if (info.st_size == 0)
        return Common::Error(COMMON_PLACE("KivoStore::StoreAccessProblem"), kNotAStore,
                             "KIVO: '" + file + "' is an empty file, not a store.");
    if (!MayAccess(file, R_OK))
        return Common::Error(COMMON_PLACE("KivoStore::StoreAccessProblem"), kStoreFailure,
                             "KIVO: Cannot open the store '" + file + "': " + ThisUser() +
                                 " has no read permission on it.");
    if (!target.readOnly && !MayAccess(file, W_OK))
        return Common::Error(COMMON_PLACE("KivoStore::StoreAccessProblem"), kStoreReadOnly,
                             "KIVO: Cannot write the store '" + file + "': " + ThisUser() +
                                 " has no write permission on it; 'file:" + file +
                                 "?mode=ro' opens it for reading.");
    if (target.readOnly && !InWalMode(file) && ::access((file + "-wal").c_str(), F_OK) != 0)
        return Common::Error();

    const int wanted = target.readOnly ? R_OK : R_OK | W_OK;
    const char* permission = target.readOnly ? "read" : "write";
    std::vector<std::string> missing;
    for (const char* suffix : {"-wal", "-shm"}) {
        const std::string sideFile = file + suffix;
        if (::access(sideFile.c_str(), F_OK) != 0) {
            missing.push_back(sideFile);
        } else if (!MayAccess(sideFile, wanted)) {
            return Common::Error(COMMON_PLACE("KivoStore::StoreAccessProblem"),
                                 target.readOnly ? kStoreFailure : kStoreReadOnly,
                                 "KIVO: Cannot " + std::string(permission) + " the store '" + file +
                                     "': " + ThisUser() + " has no " + permission +
                                     " permission on '" + sideFile +
                                     "', which SQLite keeps beside it.");
        }
    }
    for (const std::string& sideFile : missing) {
        if (target.readOnly) {
            Common::Error problem = ReadingWouldCreate(file, info, sideFile);
            if (!problem.IsEmpty())
                return problem;
        } else if (!MayAccess(FolderOf(file), W_OK | X_OK)) {
            return Common::Error(COMMON_PLACE("KivoStore::StoreAccessProblem"), kStoreReadOnly,
                                 "KIVO: Cannot write the store '" + file + "': SQLite must make '" +
                                     sideFile + "' in the folder '" + FolderOf(file) + "', where " +
                                     ThisUser() + " has no write permission.");
        }
    }
    return Common::Error();
}

void CheckStoreAccess(const ConnectionTarget& target) {
    Common::Error problem = StoreAccessProblem(target);
    if (!problem.IsEmpty())
        throw problem;
}

}  // namespace KivoStore
