#include "platform/resources/resource_api.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/common/catalog.h"
#include "platform/resources/message_catalog.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "resources_XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    fs::path operator/(const char* name) const { return path_ / name; }
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes Text(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

// Sets or clears KIVO_MESSAGES_DIR for one test.
class MessagesDir {
  public:
    explicit MessagesDir(const fs::path& dir) { setenv("KIVO_MESSAGES_DIR", dir.c_str(), 1); }
    ~MessagesDir() { unsetenv("KIVO_MESSAGES_DIR"); }
};

using ModulePtr = std::unique_ptr<ResourceApi::Module, decltype(&ResourceApi::CloseModule)>;

ModulePtr Open(const char* path) {
    return ModulePtr(ResourceApi::OpenModule(path), &ResourceApi::CloseModule);
}

TEST(ResourceApi, FilesAreFoundNextToTheProgram) {
    unsetenv("KIVO_MESSAGES_DIR");
    TempDir dir;
    WriteFile(dir / "program", Text("#!"));
    WriteFile(dir / "data.msg", Text("next to the program"));
    const ModulePtr module = Open((dir / "program").c_str());
    ASSERT_TRUE(module);
    EXPECT_EQ(ResourceApi::LoadFile(module.get(), "data.msg"), Text("next to the program"));
    EXPECT_FALSE(ResourceApi::LoadFile(module.get(), "missing.msg"));
    // Only plain names: nothing outside the module's directories is reached.
    EXPECT_FALSE(
        ResourceApi::LoadFile(module.get(), "../" + dir.Path().filename().string() + "/data.msg"));
    EXPECT_FALSE(ResourceApi::LoadFile(module.get(), ""));
    EXPECT_FALSE(ResourceApi::LoadFile(nullptr, "data.msg"));

    EXPECT_EQ(ResourceApi::OpenModule((dir / "no-such-program").c_str()), nullptr);
    EXPECT_TRUE(Open(nullptr)) << "the running program";
}

TEST(ResourceApi, TheMessagesDirectoryComesFirst) {
    TempDir programDir;
    TempDir messagesDir;
    WriteFile(programDir / "program", Text("#!"));
    WriteFile(programDir / "data.msg", Text("program"));
    WriteFile(programDir / "only-here.msg", Text("fallback"));
    WriteFile(messagesDir / "data.msg", Text("override"));
    const MessagesDir setting(messagesDir.Path());
    const ModulePtr module = Open((programDir / "program").c_str());
    ASSERT_TRUE(module);
    EXPECT_EQ(ResourceApi::LoadFile(module.get(), "data.msg"), Text("override"));
    EXPECT_EQ(ResourceApi::LoadFile(module.get(), "only-here.msg"), Text("fallback"));
}

TEST(ResourceApi, OnlyRegularFilesWithinTheLimitAreRead) {
    unsetenv("KIVO_MESSAGES_DIR");
    TempDir dir;
    WriteFile(dir / "program", Text("#!"));
    fs::create_directory(dir / "directory.msg");
    ASSERT_EQ(mkfifo((dir / "fifo.msg").c_str(), 0600), 0);
    { std::ofstream(dir / "huge.msg"); }
    fs::resize_file(dir / "huge.msg", ResourceApi::kResourceFileLimit + 1);
    { std::ofstream(dir / "limit.msg"); }
    fs::resize_file(dir / "limit.msg", ResourceApi::kResourceFileLimit);
    WriteFile(dir / "empty.msg", {});

    const ModulePtr module = Open((dir / "program").c_str());
    ASSERT_TRUE(module);
    EXPECT_FALSE(ResourceApi::LoadFile(module.get(), "directory.msg"));
    EXPECT_FALSE(ResourceApi::LoadFile(module.get(), "fifo.msg"));  // and does not block
    EXPECT_FALSE(ResourceApi::LoadFile(module.get(), "huge.msg"));
    EXPECT_EQ(ResourceApi::LoadFile(module.get(), "limit.msg")->size(),
              ResourceApi::kResourceFileLimit);
    EXPECT_EQ(ResourceApi::LoadFile(module.get(), "empty.msg"), Bytes());
}

TEST(ResourceApi, LanguageEventsAreAcceptedAndNeverDelivered) {
    static int calls = 0;
    const uint32_t subscription =
        ResourceApi::SubscribeLanguageEvents([](void*) { ++calls; }, nullptr);
    ResourceApi::UnsubscribeLanguageEvents(subscription);
    EXPECT_EQ(calls, 0);
}

uint32_t Word(const Bytes& block, size_t offset) {
    uint32_t word;
    std::memcpy(&word, block.data() + offset, 4);
    return word;
}

void SetWord(Bytes& block, size_t offset, uint32_t word) {
    std::memcpy(block.data() + offset, &word, 4);
}

// The built-in block with message `index` moved to a new text appended at its end.
Bytes BuiltinWithText(uint32_t index, std::u16string_view text) {
    const std::span<const uint8_t> builtin = Common::BuiltinCatalogBlock();
    Bytes block(builtin.begin(), builtin.end());
    const size_t position = 8 + 4 * size_t{index};
    SetWord(block, position, static_cast<uint32_t>(block.size() - position));
    const auto* units = reinterpret_cast<const uint8_t*>(text.data());
    block.insert(block.end(), units, units + text.size() * 2);
    block.insert(block.end(), {0, 0});
    SetWord(block, 0, static_cast<uint32_t>(block.size()));
    return block;
}

// The catalogue is installed at most once per process, so the refused files come first here.
TEST(MessageCatalog, AFaultyFileKeepsTheBuiltInCatalogueAndAGoodOneReplacesIt) {
    TempDir dir;
    const MessagesDir setting(dir.Path());
    const fs::path file = dir / "kivo_dump.msg";
    const char16_t* builtinSuccess = Common::GetCatalogMessage(Common::kMsgSuccess);
    const uint32_t unnamed = 682;

    EXPECT_FALSE(ResourceApi::InstallMessageCatalog()) << "no file";

    Bytes badCount = BuiltinWithText(unnamed, u"replaced");
    SetWord(badCount, 4, 682);
    Bytes badOffset = BuiltinWithText(unnamed, u"replaced");
    SetWord(badOffset, 8 + 4 * 5, Word(badOffset, 0));
    Bytes unterminated = BuiltinWithText(unnamed, u"replaced");
    unterminated[unterminated.size() - 2] = '!';
    Bytes truncated = BuiltinWithText(unnamed, u"replaced");
    truncated.resize(truncated.size() - 4);
    for (const Bytes* bad : {&badCount, &badOffset, &unterminated, &truncated}) {
        WriteFile(file, *bad);
        EXPECT_FALSE(ResourceApi::InstallMessageCatalog());
        EXPECT_EQ(Common::GetCatalogMessage(Common::kMsgSuccess), builtinSuccess);
        EXPECT_EQ(std::u16string(Common::GetCatalogMessage(unnamed)), u"");
    }

    WriteFile(file, BuiltinWithText(unnamed, u"replaced"));
    ASSERT_TRUE(ResourceApi::InstallMessageCatalog());
    const char16_t* replaced = Common::GetCatalogMessage(unnamed);
    EXPECT_EQ(std::u16string(replaced), u"replaced");
    EXPECT_TRUE(Common::IsCatalogText(replaced));
    EXPECT_EQ(std::u16string(Common::GetCatalogMessage(Common::kMsgSuccess)), u"Success");
    // Texts handed out before stay valid and are still catalogue texts.
    EXPECT_TRUE(Common::IsCatalogText(builtinSuccess));

    // Loaded once: a later file changes nothing.
    WriteFile(file, BuiltinWithText(unnamed, u"again"));
    EXPECT_FALSE(ResourceApi::InstallMessageCatalog());
    EXPECT_EQ(std::u16string(Common::GetCatalogMessage(unnamed)), u"replaced");
}

}  // namespace
