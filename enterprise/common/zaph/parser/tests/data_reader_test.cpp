// The data readers: texts in memory, regular files, pipes, special files, and files that cannot
// be read or are too large.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/parser/file_io.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace {

using ZaphTest::ErrorOf;

std::vector<uint8_t> Bytes(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// A file of `content` in the tests' temporary folder, removed with the object.
struct TemporaryFile {
    explicit TemporaryFile(const std::string& name, const std::string& content = "")
        : path(testing::TempDir() + name + std::to_string(getpid())) {
        std::ofstream(path, std::ios::binary) << content;
    }
    ~TemporaryFile() { std::remove(path.c_str()); }
    std::u16string Wide() const { return Common::ToUtf16(path); }
    const std::string path;
};

// Reads `name` into `bytes`; returns the error raised (empty when none).
Common::Error ReadFile(const std::u16string& name, std::vector<uint8_t>& bytes) {
    return ErrorOf([&] { Utils::FileReader(name).ReadData(bytes); });
}

// Texts in memory and regular files give their bytes; failures name the file, carry the cause and
// leave the bytes.
TEST(DataReader, MemoryAndRegularFilesGiveTheirBytesFailuresLeaveThem) {
    std::vector<uint8_t> bytes = Bytes("old");
    Utils::InMemoryDataReader(u"M\u00FCller \U0001F600").ReadData(bytes);
    EXPECT_EQ(bytes, Bytes("M\xC3\xBCller \xF0\x9F\x98\x80"));
    const std::string content =
        std::string("\xEF\xBB\xBF", 3) + "Nil()\0End()" + std::string(100000, 'x');
    const TemporaryFile full("full", content), empty("empty");
    EXPECT_TRUE(ReadFile(full.Wide(), bytes).IsEmpty());
    EXPECT_EQ(bytes, Bytes(content));
    EXPECT_TRUE(ReadFile(empty.Wide(), bytes).IsEmpty());
    EXPECT_TRUE(bytes.empty());
    // A file that ends before the bytes asked for.
    EXPECT_EQ(Utils::InputFile(full.path).Size(), content.size());
    Utils::InputFile input(empty.path);
    uint8_t buffer[1];
    const Common::Error end = ErrorOf([&] { input.Read(buffer, 1); });
    EXPECT_EQ(end.Code(), Utils::kEndOfFile);
    EXPECT_EQ(end.Message(), u"The end of the file has been reached.");
    input.Close();
    EXPECT_FALSE(ErrorOf([&] { input.Read(buffer, 1); }).IsEmpty());
    bytes = Bytes("old");
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
    const TemporaryFile large("large");
    for (const off_t size : {off_t{Utils::kMaxFileBytes} + 1, off_t{1} << 32}) {
        ASSERT_EQ(truncate(large.path.c_str(), size), 0);
        const Common::Error error = ReadFile(large.Wide(), bytes);
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
