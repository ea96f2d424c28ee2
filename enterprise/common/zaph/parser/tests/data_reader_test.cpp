// The data readers: texts in memory, regular files, pipes, special files, and files that cannot
// be read or are too large.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/parser/file_io.h"
#include "enterprise/common/zaph/parser/unit_construction_format.h"

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
        EXPECT_GE(descriptor, 0);
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

// Reads `name` with a FileReader into a vector that holds "old" before; returns the error.
Common::Error ReadFails(const std::u16string& name, std::vector<uint8_t>& bytes) {
    bytes = Bytes("old");
    try {
        Utils::FileReader(name).ReadData(bytes);
    } catch (const Common::Error& error) {
        return error;
    }
    return {};
}

TEST(InMemoryDataReader, HandsOverTheUtf8OfItsText) {
    std::vector<uint8_t> bytes = Bytes("old");
    Utils::InMemoryDataReader(u"M\u00FCller \U0001F600").ReadData(bytes);
    EXPECT_EQ(bytes, Bytes("M\xC3\xBCller \xF0\x9F\x98\x80"));
    Utils::InMemoryDataReader(u"").ReadData(bytes);
    EXPECT_TRUE(bytes.empty());
}

TEST(FileReader, ReadsAWholeFileAsItsBytes) {
    const std::string content =
        std::string("\xEF\xBB\xBF", 3) + "Nil()\0End()" + std::string(100000, 'x');
    const TemporaryFile file(content);
    std::vector<uint8_t> bytes;
    Utils::FileReader(file.WideName()).ReadData(bytes);
    EXPECT_EQ(bytes, Bytes(content));

    const TemporaryFile empty("");
    bytes = Bytes("old");
    Utils::FileReader(empty.WideName()).ReadData(bytes);
    EXPECT_TRUE(bytes.empty());
}

TEST(FileReader, FailuresNameTheFileAndCarryTheSystemError) {
    std::vector<uint8_t> bytes;
    const Common::Error missing = ReadFails(u"/no/such/file", bytes);
    EXPECT_EQ(missing.Code(), Utils::kCannotReadFile);
    EXPECT_EQ(Common::ToUtf8(missing.Message()), "Cannot read from file '/no/such/file'");
    EXPECT_STREQ(missing.Place().function, "Utils::FileReader::ReadData");
    EXPECT_EQ(missing.Reason().Code(), Utils::kFileOpenFailed);
    EXPECT_EQ(missing.Reason().Reason().Code(), Common::kSystemCodeError);
    EXPECT_NE(Common::ToUtf8(missing.ToText()).find("No such file or directory"),
              std::string::npos);
    EXPECT_EQ(bytes, Bytes("old"));

    const Common::Error directory = ReadFails(u"/tmp", bytes);
    EXPECT_EQ(directory.Reason().Code(), Utils::kFileOpenFailed);
    EXPECT_NE(Common::ToUtf8(directory.ToText()).find("Is a directory"), std::string::npos);
    EXPECT_EQ(bytes, Bytes("old"));
}

TEST(FileReader, LargeFilesAreRefusedWholeNotReadInPart) {
    // A sparse file: its size is known at once.
    const TemporaryFile file("");
    ASSERT_EQ(truncate(file.Name().c_str(), off_t{Utils::kMaxFileBytes} + 1), 0);
    std::vector<uint8_t> bytes;
    Common::Error error = ReadFails(file.WideName(), bytes);
    EXPECT_EQ(error.Code(), Utils::kCannotReadFile);
    EXPECT_EQ(error.Reason().Code(), Utils::kFileTooLarge);
    EXPECT_EQ(bytes, Bytes("old"));
    ASSERT_EQ(truncate(file.Name().c_str(), off_t{1} << 32), 0);
    EXPECT_EQ(ReadFails(file.WideName(), bytes).Reason().Code(), Utils::kFileTooLarge);
    // A file without a size is read to its end, up to the same bound.
    EXPECT_EQ(ReadFails(u"/dev/zero", bytes).Reason().Code(), Utils::kFileTooLarge);
    EXPECT_EQ(bytes, Bytes("old"));
}

TEST(FileReader, PipesAndSpecialFilesAreReadToTheirEnd) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    // More than a pipe holds, so the writer runs while the reader reads.
    const std::string content(300000, 'p');
    std::thread writer([&] {
        size_t done = 0;
        while (done < content.size()) {
            const ssize_t wrote = write(ends[1], content.data() + done, content.size() - done);
            if (wrote <= 0) {
                break;
            }
            done += static_cast<size_t>(wrote);
        }
        close(ends[1]);
    });
    std::vector<uint8_t> bytes;
    Utils::FileReader(u"/dev/fd/" + Common::ToUtf16(std::to_string(ends[0]))).ReadData(bytes);
    writer.join();
    close(ends[0]);
    EXPECT_EQ(bytes, Bytes(content));

    Utils::FileReader(u"/proc/self/status").ReadData(bytes);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 5), "Name:");
}

TEST(InputFile, AShortReadIsTheEndOfTheFile) {
    const TemporaryFile file("abc");
    Utils::InputFile input(file.Name());
    EXPECT_EQ(input.Size(), 3u);
    uint8_t buffer[8];
    try {
        input.Read(buffer, sizeof buffer);
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), Utils::kEndOfFile);
        EXPECT_EQ(Common::ToUtf8(error.Message()), "The end of the file has been reached.");
    }
    input.Close();
    EXPECT_THROW(input.Read(buffer, 1), Common::Error);
}

// What the text format makes of files that are not plain UTF-8 text.
TEST(FileReader, MarksAndWideFilesFailToParse) {
    const TemporaryFile marked("\xEF\xBB\xBF.Nil().End()");
    const TemporaryFile wide(std::string(".\0N\0i\0l\0(\0)\0", 12));
    for (const TemporaryFile* file : {&marked, &wide}) {
        Utils::FileReader reader(file->WideName());
        std::ostringstream trace;
        try {
            Utils::UnitConstructionFormat(trace).Read(reader,
                                                      Zaph::Construction::DefaultUnitFactory());
            ADD_FAILURE() << "no error";
        } catch (const Common::Error& error) {
            EXPECT_EQ(error.Code(), 6u);
        }
    }
    const TemporaryFile empty("");
    Utils::FileReader reader(empty.WideName());
    std::ostringstream trace;
    EXPECT_EQ(
        Utils::UnitConstructionFormat(trace).Read(reader, Zaph::Construction::DefaultUnitFactory()),
        nullptr);
}

}  // namespace
