#include "enterprise/common/zaph/parser/file_io.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/common/catalog.h"
#include "core/common/error/error.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/parser/unit_construction_parser.h"

namespace Utils {
namespace {

constexpr int kClosed = -1;

// How long a named FIFO may go without a writer before it is refused.
constexpr int kFifoWriterWaitMs = 10'000;

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

// True for a named FIFO; false for an anonymous pipe (a shell's "|"), whose writer exists
// from the start or is gone for good.
bool IsNamedFifo(int descriptor, const struct stat& status) {
    struct statfs fileSystem {};
    return S_ISFIFO(status.st_mode) &&
           (::fstatfs(descriptor, &fileSystem) != 0 || fileSystem.f_type != PIPEFS_MAGIC);
}

// Waits until a writer of the named FIFO `descriptor` has written or come and gone; false
// when none did within kFifoWriterWaitMs. A read before that would see the end of the input at
// once, since a FIFO without a writer reads as empty.
bool AwaitFifoWriter(int descriptor) {
    pollfd ready{descriptor, POLLIN, 0};
    int result;
    do {
        result = ::poll(&ready, 1, kFifoWriterWaitMs);
    } while (result < 0 && errno == EINTR);
    return result > 0;
}

}  // namespace

InputFile::InputFile(const std::string& path) : descriptor_(kClosed) {
    // Non-blocking, so that opening a FIFO that nobody writes does not wait for ever.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
    if (IsNamedFifo(descriptor, status) && !AwaitFifoWriter(descriptor)) {
        ::close(descriptor);
        throw FileError(COMMON_PLACE("Utils::InputFile::InputFile"), kFileOpenFailed,
                        u"Nothing was written to the FIFO within 10 seconds.", ETIMEDOUT);
    }
    // Reads block from here on: a writer exists, or the input ends.
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int systemError = errno;
        ::close(descriptor);
        throw FileError(COMMON_PLACE("Utils::InputFile::InputFile"), kFileOpenFailed,
                        Common::GetCatalogMessage(Common::kMsgFileOpenFailed), systemError);
    }
    descriptor_ = descriptor;
}

InputFile::InputFile(StandardInputTag) : descriptor_(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)) {
    if (descriptor_ < 0) {
        descriptor_ = kClosed;
        throw FileError(COMMON_PLACE("Utils::InputFile::InputFile"), kFileOpenFailed,
                        Common::GetCatalogMessage(Common::kMsgFileOpenFailed), errno);
    }
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

namespace {

// Reads `file` whole into `bytes` within kMaxFileBytes; on failure `bytes` is unchanged.
void ReadWhole(InputFile& file, std::vector<uint8_t>& bytes) {
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
}

Common::Error CannotRead(const Common::SourceLocation& place, std::u16string_view name,
                         const Common::Error& reason) {
    const std::u16string message = Common::FormatCatalogMessage(
        Common::GetCatalogMessage(Common::kMsgCannotReadFile), {std::u16string(name)});
    return Common::Error(place, kCannotReadFile, message).Add(reason);
}

}  // namespace

std::u16string FileNameFromUtf8(std::string_view name) {
    std::u16string wide;
    if (Common::Utf8ToUtf16(name, wide))
        return wide;
    throw CannotRead(COMMON_PLACE("Utils::FileNameFromUtf8"),
                     UnitConstructionParser::DecodeText(name),
                     Common::Error(COMMON_PLACE("Utils::FileNameFromUtf8"), kCannotReadFile,
                                   "The file name is not valid UTF-8."));
}

void FileReader::ReadData(std::vector<uint8_t>& bytes) {
    try {
        InputFile file(Common::ToUtf8(fileName_));
        ReadWhole(file, bytes);
    } catch (const Common::Error& reason) {
        throw CannotRead(COMMON_PLACE("Utils::FileReader::ReadData"), fileName_, reason);
    }
}

void StandardInputReader::ReadData(std::vector<uint8_t>& bytes) {
    try {
        InputFile file{InputFile::StandardInputTag{}};
        ReadWhole(file, bytes);
    } catch (const Common::Error& reason) {
        throw CannotRead(COMMON_PLACE("Utils::StandardInputReader::ReadData"), u"-", reason);
    }
}

}  // namespace Utils
