#include "platform/resources/resource_api.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/common/catalog.h"
#include "platform/resources/message_catalog.h"

namespace {

namespace fs = std::filesystem;
using namespace ResourceApi;

struct TempDir {
    std::string pattern = (fs::temp_directory_path() / "resources_XXXXXX").string();
    fs::path path = mkdtemp(pattern.data());
    ~TempDir() { fs::remove_all(path); }
};

void Put(const fs::path& path, size_t size, std::string_view text = "x") {
    std::ofstream(path, std::ios::binary) << text;
    fs::resize_file(path, size);
}

TEST(Resources, TheMessagesDirectoryThenTheInstalledShareThenBesideTheProgramCatalogueOnce) {
    TempDir tree, messages;  // an installed tree: the program in bin/, its data in share/kivo/
    const fs::path program = tree.path / "bin", share = tree.path / "share" / "kivo";
    fs::create_directories(program), fs::create_directories(share);
    Put(program / "own.msg", kResourceFileLimit);  // also taken for the program file
    Put(program / "huge.msg", kResourceFileLimit + 1);
    Put(program / "data.msg", 1);
    Put(messages.path / "data.msg", 2, "ov");
    for (const fs::path& folder : {program, share})  // share/kivo comes first
        Put(folder / "installed.msg", 1, folder == share ? "s" : "p");
    ASSERT_EQ(mkfifo((program / "fifo.msg").c_str(), 0600), 0);  // must not block
    setenv("KIVO_MESSAGES_DIR", messages.path.c_str(), 1);
    Module* module = OpenModule((program / "own.msg").c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(LoadFile(module, "data.msg"), std::vector<uint8_t>({'o', 'v'}));
    EXPECT_EQ(LoadFile(module, "installed.msg"), std::vector<uint8_t>({'s'}));
    EXPECT_EQ(LoadFile(module, "own.msg")->size(), kResourceFileLimit);
    for (const char* name : {"", "huge.msg", "fifo.msg", "missing.msg"}) {
        EXPECT_FALSE(LoadFile(module, name)) << name;
    }
    EXPECT_FALSE(LoadFile(module, "../bin/own.msg"));
    EXPECT_FALSE(LoadFile(nullptr, "data.msg"));
    CloseModule(module);
    EXPECT_EQ(OpenModule((program / "no-such-program").c_str()), nullptr);

    Put(messages.path / kMessageCatalogFile, 8);
    EXPECT_FALSE(InstallMessageCatalog()) << "not a catalogue";
    const std::span<const uint8_t> builtin = Common::BuiltinCatalogBlock();
    Put(messages.path / kMessageCatalogFile, builtin.size(),
        std::string_view(reinterpret_cast<const char*>(builtin.data()), builtin.size()));
    EXPECT_TRUE(InstallMessageCatalog());
    EXPECT_FALSE(InstallMessageCatalog()) << "installed once";
    unsetenv("KIVO_MESSAGES_DIR");
}

}  // namespace
