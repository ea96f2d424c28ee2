// The file layer of the unit text formats: reading a named file whole.
//
//   InputFile   a file opened for reading: its size, reads of an exact length, reading to the
//               end, closing (also on destruction)
//   FileReader  the data reader over a named file (data_reader.h)
//   StandardInputReader  the data reader over standard input, read as it is (a pipe, a
//               socket, a terminal) rather than opened again by a name
//
// Errors of the file layer carry the system error (errno) as their reason:
//   kFileOpenFailed   the file cannot be opened, or is a directory
//   kEndOfFile        fewer bytes than asked for were left ("The end of the file has been
//                     reached.", no reason)
//   kFileReadFailed   the system refused a read
//   kFileTooLarge     more than the given bound of bytes (reason EFBIG)
//
// FileReader::ReadData reads the whole file into memory with one allocation of its size. A file
// whose size reads as 0 (a pipe, /dev/stdin, a /proc file) is read to its end instead. Either way
// at most kMaxFileBytes (64 MiB) are accepted: a larger file is refused as a whole, never read in
// part. A named FIFO is opened without waiting for a writer; when nothing has been written to it
// (and no writer has come and gone) within 10 seconds it is refused with kFileOpenFailed (reason
// ETIMEDOUT) instead of waiting for ever; a writer that comes in time is read to its end. Every
// failure raises code kCannotReadFile, "Cannot read from file '<name>'", with the file
// layer's error as reason; the output vector is then unchanged. Nothing is decoded: a byte-order
// mark stays in the bytes.
//
// Thread-safety: an InputFile or a FileReader belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/noncopyable.h"
#include "enterprise/common/zaph/parser/data_reader.h"

namespace Utils {

/// Codes of the file layer.
inline constexpr uint32_t kFileOpenFailed = 0x40001;
inline constexpr uint32_t kEndOfFile = 0x40002;
inline constexpr uint32_t kFileReadFailed = 0x40003;
inline constexpr uint32_t kFileTooLarge = 0x40004;

/// The code of FileReader's error.
inline constexpr uint32_t kCannotReadFile = 1;

/// The most bytes FileReader takes from one file. Query files are small; the bound keeps a
/// mistaken name (a device, a disk image) from filling memory.
inline constexpr uint32_t kMaxFileBytes = 64u << 20;

/// A file opened for reading; closed by Close or on destruction.
class InputFile : private Common::NonCopyable {
  public:
    /// Opens `path` (UTF-8) for reading; raises kFileOpenFailed when it cannot be opened or
    /// names a directory.
    explicit InputFile(const std::string& path);
    /// Selects the constructor that reads standard input.
    struct StandardInputTag {};
    /// Reads a duplicate of standard input's descriptor; raises kFileOpenFailed when there is
    /// none.
    explicit InputFile(StandardInputTag);
    ~InputFile();

    /// The size in bytes; 0 for pipes and other files without a known size.
    uint64_t Size() const;
    /// Reads exactly `count` bytes into `out`; raises kEndOfFile when the file ends first and
    /// kFileReadFailed when the system refuses.
    void Read(uint8_t* out, size_t count);
    /// Appends everything up to the end of the file to `out`; raises kFileTooLarge when more
    /// than `limit` bytes would be appended in all, kFileReadFailed when the system refuses.
    void ReadToEnd(std::vector<uint8_t>& out, size_t limit);
    /// Closes the file; later calls raise kFileReadFailed.
    void Close();

  private:
    int descriptor_;
};

/// A file name given as narrow text (a command line) in UTF-16, for FileReader. A name that is not
/// UTF-8 could not reach its file through the file layer (which encodes names as UTF-8 again), so
/// it raises kCannotReadFile ("The file name is not valid UTF-8.") rather than naming another file.
[[nodiscard]] std::u16string FileNameFromUtf8(std::string_view name);

/// A data reader over the file of the given name.
class FileReader final : public DataReader {
  public:
    /// Keeps `fileName`; the file is not touched until ReadData.
    explicit FileReader(std::u16string fileName) : fileName_(std::move(fileName)) {}

    /// See the file comment.
    void ReadData(std::vector<uint8_t>& bytes) override;

  private:
    const std::u16string fileName_;
};

/// A data reader over standard input, read whole as FileReader reads a file; its errors name
/// the file "-".
class StandardInputReader final : public DataReader {
  public:
    /// See the file comment.
    void ReadData(std::vector<uint8_t>& bytes) override;
};

}  // namespace Utils
