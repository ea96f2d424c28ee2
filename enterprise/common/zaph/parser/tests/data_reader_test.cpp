// The data readers: texts in memory, regular files, pipes, special files, and files that cannot
// be read or are too large.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/parser/file_io.h"

namespace {

std::vector<uint8_t> Bytes(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// A file of `content` that lives as long as the object.
class TemporaryFile {
  public:
    explicit TemporaryFile(const std::string& content) {
        char name[] = "/tmp/data_reader_XXXXXX";
        const int descriptor = mkstemp(name);
        EXPECT_EQ(write(descriptor, content.data(), content.size()),
                  static_cast<ssize_t>(content.size()));
        close(descriptor);
        name_ = name;
    }
    ~TemporaryFile() { std::remove(name_.c_str()); }
    const std::string& Name() const { return name_; }
    std::u16string WideName() const { return Common::ToUtf16(name_); }

  private:
    std::string name_;
};

template <class F>
Common::Error ErrorOf(F&& action) {
    try {
        action();
    } catch (const Common::Error& error) {
        return error;
    }
    return {};
}

// Reads `name` into `bytes`; returns the error raised (empty when none).
Common::Error ReadFile(const std::u16string& name, std::vector<uint8_t>& bytes) {
    return ErrorOf([&] { Utils::FileReader(name).ReadData(bytes); });
}

TEST(DataReader, MemoryAndRegularFilesGiveTheirBytes) {
    std::vector<uint8_t> bytes = Bytes("old");
    Utils::InMemoryDataReader(u"M\u00FCller \U0001F600").ReadData(bytes);
    EXPECT_EQ(bytes, Bytes("M\xC3\xBCller \xF0\x9F\x98\x80"));

    const std::string content =
        std::string("\xEF\xBB\xBF", 3) + "Nil()\0End()" + std::string(100000, 'x');
    const TemporaryFile file(content);
    EXPECT_TRUE(ReadFile(file.WideName(), bytes).IsEmpty());
    EXPECT_EQ(bytes, Bytes(content));
    const TemporaryFile empty("");
    EXPECT_TRUE(ReadFile(empty.WideName(), bytes).IsEmpty());
    EXPECT_TRUE(bytes.empty());

    // A file that ends before the bytes asked for.
    EXPECT_EQ(Utils::InputFile(file.Name()).Size(), content.size());
    Utils::InputFile input(empty.Name());
    uint8_t buffer[1];
    const Common::Error end = ErrorOf([&] { input.Read(buffer, 1); });
    EXPECT_EQ(end.Code(), Utils::kEndOfFile);
    EXPECT_EQ(end.Message(), u"The end of the file has been reached.");
    input.Close();
    EXPECT_FALSE(ErrorOf([&] { input.Read(buffer, 1); }).IsEmpty());
}

TEST(DataReader, FailuresNameTheFileCarryTheCauseAndLeaveTheBytes) {
    std::vector<uint8_t> bytes = Bytes("old");
    const Common::Error missing = ReadFile(u"/no/such/file", bytes);
    EXPECT_EQ(missing.Code(), Utils::kCannotReadFile);
    EXPECT_EQ(Common::ToUtf8(missing.Message()), "Cannot read from file '/no/such/file'");
    EXPECT_STREQ(missing.Place().function, "Utils::FileReader::ReadData");
    EXPECT_EQ(missing.Reason().Code(), Utils::kFileOpenFailed);
    EXPECT_EQ(missing.Reason().Reason().Code(), Common::kSystemCodeError);
    EXPECT_NE(missing.ToText().find(u"No such file or directory"), std::u16string::npos);
    const Common::Error directory = ReadFile(u"/tmp", bytes);
    EXPECT_EQ(directory.Reason().Code(), Utils::kFileOpenFailed);
    EXPECT_NE(directory.ToText().find(u"Is a directory"), std::u16string::npos);

    // Too large, as a sparse file whose size is known at once, or a file without a size that is
    // read up to the bound: refused whole, not read in part.
    const TemporaryFile large("");
    for (const off_t size : {off_t{Utils::kMaxFileBytes} + 1, off_t{1} << 32}) {
        ASSERT_EQ(truncate(large.Name().c_str(), size), 0);
        const Common::Error error = ReadFile(large.WideName(), bytes);
        EXPECT_EQ(error.Code(), Utils::kCannotReadFile);
        EXPECT_EQ(error.Reason().Code(), Utils::kFileTooLarge);
    }
    EXPECT_EQ(ReadFile(u"/dev/zero", bytes).Reason().Code(), Utils::kFileTooLarge);
    EXPECT_EQ(bytes, Bytes("old"));
}

TEST(DataReader, PipesAndSpecialFilesAreReadToTheirEnd) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    // More than a pipe holds, so the writer runs while the reader reads.
    const std::string content(300000, 'p');
    std::thread writer([&] {
        for (size_t done = 0; done < content.size();) {
            const ssize_t wrote = write(ends[1], content.data() + done, content.size() - done);
            if (wrote <= 0) {
                break;
            }
            done += static_cast<size_t>(wrote);
        }
        close(ends[1]);
    });
    std::vector<uint8_t> bytes;
    const Common::Error error =
        ReadFile(u"/dev/fd/" + Common::ToUtf16(std::to_string(ends[0])), bytes);
    writer.join();
    close(ends[0]);
    EXPECT_TRUE(error.IsEmpty());
    EXPECT_EQ(bytes, Bytes(content));

    EXPECT_TRUE(ReadFile(u"/proc/self/status", bytes).IsEmpty());
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 5), "Name:");
}

}  // namespace
