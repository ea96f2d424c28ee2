#include "enterprise/common/zaph/parser/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/common/catalog.h"
#include "core/common/error/error.h"
#include "core/common/message_format.h"
#include "core/common/text.h"

namespace Utils {
namespace {

constexpr int kClosed = -1;

// A file-layer error with the system error `systemError` as its reason (none for 0).
Common::Error FileError(const Common::SourceLocation& place, uint32_t code,
                        std::u16string_view message, int systemError) {
    Common::Error error(place, code, message);
    if (systemError != 0) {
        error.AddWindowsError(static_cast<uint32_t>(systemError));
    }
    return error;
}

Common::Error TooLarge(const Common::SourceLocation& place) {
    const std::u16string limit = Common::WidenBytes(std::to_string(kMaxFileBytes));
    return FileError(
        place, kFileTooLarge,
        Common::FormatCatalogMessage(Common::GetCatalogMessage(Common::kMsgFileTooLarge), {limit}),
        EFBIG);
}

// One read of at most `count` bytes, repeated when a signal interrupts it; -1 on failure.
ssize_t ReadSome(int descriptor, uint8_t* out, size_t count) {
    ssize_t got;
    do {
        got = ::read(descriptor, out, count);
    } while (got < 0 && errno == EINTR);
    return got;
}

}  // namespace

InputFile::InputFile(const std::string& path) : descriptor_(kClosed) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        throw FileError(COMMON_PLACE("Utils::InputFile::InputFile"), kFileOpenFailed,
                        Common::GetCatalogMessage(Common::kMsgFileOpenFailed), errno);
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {
        // A directory opens for reading here; it is refused as the other systems refuse it.
        const int systemError = S_ISDIR(status.st_mode) ? EISDIR : errno;
        ::close(descriptor);
        throw FileError(COMMON_PLACE("Utils::InputFile::InputFile"), kFileOpenFailed,
                        Common::GetCatalogMessage(Common::kMsgFileOpenFailed), systemError);
    }
    descriptor_ = descriptor;
}

InputFile::~InputFile() {
    Close();
}

uint64_t InputFile::Size() const {
    struct stat status {};
    if (descriptor_ == kClosed || ::fstat(descriptor_, &status) != 0) {
        throw FileError(COMMON_PLACE("Utils::InputFile::Size"), kFileReadFailed,
                        Common::GetCatalogMessage(Common::kMsgFileReadFailed),
                        descriptor_ == kClosed ? EBADF : errno);
    }
    return S_ISREG(status.st_mode) ? static_cast<uint64_t>(status.st_size) : 0;
}

void InputFile::Read(uint8_t* out, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t got = ReadSome(descriptor_, out + done, count - done);
        if (got < 0) {
            throw FileError(COMMON_PLACE("Utils::InputFile::Read"), kFileReadFailed,
                            Common::GetCatalogMessage(Common::kMsgFileReadFailed), errno);
        }
        if (got == 0) {
            throw FileError(COMMON_PLACE("Utils::InputFile::Read"), kEndOfFile,
                            Common::GetCatalogMessage(Common::kMsgEndOfFile), 0);
        }
        done += static_cast<size_t>(got);
    }
}

void InputFile::ReadToEnd(std::vector<uint8_t>& out, size_t limit) {
    constexpr size_t kChunk = 64 * 1024;
    size_t taken = 0;
    for (;;) {
        const size_t before = out.size();
        // One byte past the limit tells a file of exactly `limit` bytes from a longer one.
        const size_t room = std::min(kChunk, limit - taken + 1);
        out.resize(before + room);
        const ssize_t got = ReadSome(descriptor_, out.data() + before, room);
        if (got < 0) {
            const int systemError = errno;
            out.resize(before);
            throw FileError(COMMON_PLACE("Utils::InputFile::ReadToEnd"), kFileReadFailed,
                            Common::GetCatalogMessage(Common::kMsgFileReadFailed), systemError);
        }
        out.resize(before + static_cast<size_t>(got));
        if (got == 0) {
            return;
        }
        taken += static_cast<size_t>(got);
        if (taken > limit) {
            throw TooLarge(COMMON_PLACE("Utils::InputFile::ReadToEnd"));
        }
    }
}

void InputFile::Close() {
    if (descriptor_ != kClosed) {
        ::close(descriptor_);
        descriptor_ = kClosed;
    }
}

void FileReader::ReadData(std::vector<uint8_t>& bytes) {
    try {
        InputFile file(Common::ToUtf8(fileName_));
        const uint64_t size = file.Size();
        std::vector<uint8_t> content;
        if (size == 0) {
            file.ReadToEnd(content, kMaxFileBytes);
        } else if (size > kMaxFileBytes) {
            throw TooLarge(COMMON_PLACE("Utils::FileReader::ReadData"));
        } else {
            content.resize(static_cast<size_t>(size));
            file.Read(content.data(), content.size());
        }
        file.Close();
        bytes = std::move(content);
    } catch (const Common::Error& reason) {
        const std::u16string message = Common::FormatCatalogMessage(
            Common::GetCatalogMessage(Common::kMsgCannotReadFile), {fileName_});
        throw Common::Error(COMMON_PLACE("Utils::FileReader::ReadData"), kCannotReadFile, message)
            .Add(reason);
    }
}

}  // namespace Utils
