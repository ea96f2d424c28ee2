// Runs the built kivo_dump and kivo_store as `nobody` on stores that nobody may read but not
// write. The programs are copied to a folder that nobody can reach; the cases need root (to
// become nobody, through setpriv) and are skipped otherwise.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/store/store.h"
#include "tests/support/programs.h"
#include "tests/support/temporary_folder.h"

namespace {

using KivoTestSupport::Outcome;
using KivoTestSupport::ReadFile;

constexpr const char* kSetpriv = "/usr/bin/setpriv";
constexpr const char* kAsNobody = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
// A machine whose key ends in `last`, quoted for the shell.
std::string MachineObject(char last) {
    return "'.Composite().Trait(\"Is\").String(\"Machine\").End()"
           ".Trait(\"PrimaryKey\").Guid(6B29FC40-CA47-1067-B31D-00DD010662D" +
           std::string(1, last) + ").End().End()'";
}

class ReadOnlyStoreProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0 || ::access(kSetpriv, X_OK) != 0)
            GTEST_SKIP() << "needs root and setpriv, to run the programs as nobody";
        ASSERT_EQ(::chmod(folder_.c_str(), 0755), 0);
        for (const char* program : {"kivo_dump", "kivo_store"})
            std::filesystem::copy_file(KivoTestSupport::ProgramPath(program),
                                       folder_ + "/" + program);
    }

    // Runs a program of the folder, as nobody or as root.
    Outcome RunAs(bool asNobody, const std::string& arguments) {
        return KivoTestSupport::RunCommand(std::string(asNobody ? kAsNobody : "") + folder_ + "/" +
                                           arguments + " </dev/null 2>/dev/null");
    }
    // Makes `store` with one machine, owned by `owner` with `mode`.
    void MakeStore(const std::string& store, uid_t owner, mode_t mode) {
        ASSERT_EQ(
            RunAs(false, "kivo_store '" + store + "' put --create " + MachineObject('A')).status,
            0);
        ASSERT_EQ(::chown(store.c_str(), owner, owner), 0);
        ASSERT_EQ(::chmod(store.c_str(), mode), 0);
    }
    KivoTestSupport::TemporaryFolder scratch_{"kivo_readonly_"};
    const std::string folder_ = scratch_.Path();
};

TEST_F(ReadOnlyStoreProgramTest, StoreOfRootIsDumpedWhileHeldAndExplainedOtherwise) {
    const std::string store = folder_ + "/store.db";
    MakeStore(store, 0, 0644);
    const std::vector<std::string> before = scratch_.Names();
    const std::string bytes = ReadFile(store);
    const std::string refusal = "Error 0xfc0067: KIVO: Cannot read the store '" + store + "': '" +
                                store + "-wal' does not exist, as when no program has the store " +
                                "open, and SQLite would have to make it in the folder '" + folder_ +
                                "', where this user (uid 65534) has no write permission.\n";
    for (const std::string& connection : {store, "file:" + store + "?mode=ro"}) {
        SCOPED_TRACE(connection);
        const Outcome alone = RunAs(true, "kivo_dump '" + connection + "' u p DB Machine");
        EXPECT_EQ(alone.output.substr(0, alone.output.find('\n') + 1), refusal);
        EXPECT_EQ(alone.status, 255);
        EXPECT_EQ(scratch_.Names(), before);

        const std::shared_ptr<KivoStore::Store> holder =
            KivoStore::Store::Open(std::u16string(store.begin(), store.end()));
        const Outcome held = RunAs(true, "kivo_dump '" + connection + "' u p DB Machine");
        EXPECT_EQ(held.status, 0) << held.output;
        EXPECT_TRUE(
            held.output.starts_with("<object id=\"6B29FC40-CA47-1067-B31D-00DD010662DA\">\n"))
            << held.output;
    }

    const Outcome put = RunAs(true, "kivo_store '" + store + "' put " + MachineObject('B'));
    EXPECT_EQ(put.output.substr(0, put.output.find('\n') + 1),
              "Error 0xfc006d: KIVO: Cannot write the store '" + store +
                  "': this user (uid 65534) has no write permission on it; 'file:" + store +
                  "?mode=ro' opens it for reading.\n");
    EXPECT_EQ(scratch_.Names(), before);
    // The owner's report reads the store without writing to it.
    EXPECT_EQ(RunAs(false, "kivo_dump '" + store + "' u p DB Machine").status, 0);
    EXPECT_EQ(ReadFile(store), bytes);
}

TEST_F(ReadOnlyStoreProgramTest, StoreNobodyMayWriteStaysWritableForItsOwner) {
    const std::string owned = folder_ + "/nobody";
    ASSERT_EQ(::mkdir(owned.c_str(), 0755), 0);
    ASSERT_EQ(::chown(owned.c_str(), 65534, 65534), 0);
    const std::string store = owned + "/store.db";
    MakeStore(store, 65534, 0444);

    const Outcome read = RunAs(true, "kivo_dump '" + store + "' u p DB Machine");
    EXPECT_NE(read.output.find("with the store's mode 0444, in which its owner may not write"),
              std::string::npos)
        << read.output;
    EXPECT_EQ(RunAs(true, "kivo_store '" + store + "' put " + MachineObject('B'))
                  .output.rfind("Error 0xfc006d: KIVO: Cannot write the store", 0),
              0u);
    EXPECT_EQ(KivoTestSupport::RunCommand("ls '" + owned + "'").output, "store.db\n");

    // Its owner makes it writable: the writes of both work.
    ASSERT_EQ(::chmod(store.c_str(), 0644), 0);
    EXPECT_EQ(RunAs(true, "kivo_store '" + store + "' put " + MachineObject('B')).status, 0);
    EXPECT_EQ(RunAs(false, "kivo_store '" + store + "' put " + MachineObject('C')).status, 0);
    const Outcome all = RunAs(true, "kivo_dump '" + store + "' u p DB Machine");
    EXPECT_EQ(all.status, 0);
    EXPECT_NE(all.output.find("010662DC"), std::string::npos) << all.output;
}

}  // namespace
