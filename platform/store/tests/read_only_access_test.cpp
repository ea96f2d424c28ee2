// Stores that a user may read but not write, and read-only opens that must leave the store as it
// was. The cases of another user run in child processes (as `nobody` they need root), so that no
// SQLite state of the test process leaks into a reader.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "core/common/text.h"
#include "platform/store/store_errors.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using KivoStoreTest::Wide;
using Names = std::vector<std::string>;

constexpr uid_t kNobody = 65534;
constexpr uid_t kRoot = 0;

// "ok <objects>" or "<code> <message>".
std::string Outcome(const std::function<size_t()>& action) {
    try {
        return "ok " + std::to_string(action());
    } catch (const Common::Error& error) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%x ", error.Code());
        return code + Common::ToUtf8(error.Message());
    }
}

size_t ReadAll(const std::string& connection) {
    KivoStore::OpenOptions options;
    options.readOnly = true;
    return KivoStore::Store::Open(Wide(connection), options)
        ->Report(*KivoStoreTest::TypePattern(u""), 0, [](const Zaph::View::SharedUnitPtr&) {});
}

size_t Put(const std::string& connection, uint32_t number) {
    return KivoStore::Store::Open(Wide(connection))
        ->Apply({{KivoStore::OperationKind::StoreOrUpdate, KivoStoreTest::Disk(number, u"x")}})
        .created;
}

// Runs `action` in a child process as `uid` (root stays root) and returns its outcome.
std::string RunAs(uid_t uid, const std::function<size_t()>& action) {
    int told[2];
    if (::pipe(told) != 0)
        return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(told[0]);
        if (uid != kRoot &&
            (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))
            _exit(3);
        const std::string outcome = Outcome(action);
        _exit(::write(told[1], outcome.data(), outcome.size()) < 0 ? 4 : 0);
    }
    ::close(told[1]);
    std::string outcome;
    char chunk[512];
    ssize_t got;
    while ((got = ::read(told[0], chunk, sizeof chunk)) > 0)
        outcome.append(chunk, static_cast<size_t>(got));
    ::close(told[0]);
    ::waitpid(child, nullptr, 0);
    return outcome;
}

// A store with two objects, closed, its folder and file owned by `owner` with the given modes.
struct SharedStore {
    SharedStore(uid_t owner, mode_t folderMode, mode_t fileMode) : file(folder.File("s.db")) {
        KivoStore::CreateStore(Wide(file));
        Put(file, 1);
        Put(file, 2);
        const std::string path = folder.File("");
        if (::chown(path.c_str(), owner, owner) != 0 || ::chown(file.c_str(), owner, owner) != 0 ||
            ::chmod(path.c_str(), folderMode) != 0 || ::chmod(file.c_str(), fileMode) != 0)
            ADD_FAILURE() << "cannot set up " << path;
        alone = folder.Names();
    }
    KivoStoreTest::ScratchFolder folder;
    std::string file;
    Names alone;
};

// The refusals without a holder, and reads while one holds the store, are tested through the
// programs; here, the side files that the owner's read leaves and what others then may do.
TEST(OtherUserTest, SideFilesDecideWhoMayReadAndWrite) {
    if (::geteuid() != kRoot)
        GTEST_SKIP() << "reading as another user needs root, to become nobody";
    {
        // A read-only open by the owner leaves the side files with the store's owner and mode;
        // they let others read without a holder, and the next writer to close removes them.
        SharedStore store(kRoot, 0755, 0644);
        EXPECT_EQ(RunAs(kRoot, [&] { return ReadAll(store.file); }), "ok 2");
        EXPECT_EQ(store.folder.Names(), (Names{"s.db", "s.db-shm", "s.db-wal"}));
        EXPECT_EQ(RunAs(kNobody, [&] { return ReadAll("file:" + store.file + "?mode=ro"); }),
                  "ok 2");
        EXPECT_EQ(RunAs(kRoot, [&] { return Put(store.file, 3); }), "ok 1");
        EXPECT_EQ(store.folder.Names(), store.alone);
    }
    {
        // In a folder that anyone may write, a reader other than the owner would make side files
        // of its own, which the owner could not write.
        SharedStore store(kNobody, 0777, 0644);
        const std::string outcome = RunAs(12345, [&] { return ReadAll(store.file); });
        EXPECT_EQ(
            outcome.rfind("0xfc0067 KIVO: Cannot read the store '" + store.file +
                              "' while no program has it open: SQLite would make '" + store.file +
                              "-wal' owned by this user (uid 12345) with the "
                              "store's mode 0644",
                          0),
            0u)
            << outcome;
        EXPECT_EQ(store.folder.Names(), store.alone);
        EXPECT_EQ(RunAs(kNobody, [&] { return Put(store.file, 10); }), "ok 1");
    }
    {
        // A side file its owner may not write, as an older version left it, is named; reads go
        // on. (Nobody may write a store of mode 0444, root neither: the programs' tests.)
        SharedStore store(kNobody, 0755, 0644);
        EXPECT_EQ(RunAs(kNobody, [&] { return ReadAll(store.file); }), "ok 2");
        ASSERT_EQ(::chmod((store.file + "-shm").c_str(), 0444), 0);
        EXPECT_EQ(RunAs(kNobody, [&] { return Put(store.file, 10); }),
                  "0xfc006d KIVO: Cannot write the store '" + store.file +
                      "': this user (uid 65534) has no write permission on '" + store.file +
                      "-shm', which SQLite keeps beside it.");
        EXPECT_EQ(RunAs(kNobody, [&] { return ReadAll(store.file); }), "ok 2");
    }
}

// The bytes and modification time of a file.
std::pair<std::string, int64_t> Snapshot(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    struct stat info {};
    ::stat(file.c_str(), &info);
    return {std::string(std::istreambuf_iterator<char>(in), {}),
            static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

TEST(ReadOnlyOpenTest, WritesNothingAndRefusesWhatWouldNeedWriting) {
    KivoStoreTest::ScratchFolder folder;
    const std::string file = folder.File("s.db");
    KivoStore::CreateStore(Wide(file));
    Put(file, 1);

    // A store its owner may not write: reading would leave side files that refuse the owner's
    // writes later, so it is refused while nothing holds it open.
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    EXPECT_EQ(Outcome([&] { return ReadAll(file); }).rfind("0xfc0067 ", 0), 0u);
    EXPECT_EQ(folder.Names(), Names{"s.db"});
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);

    const auto before = Snapshot(file);
    EXPECT_EQ(Outcome([&] { return ReadAll(file); }), "ok 1");
    EXPECT_EQ(Outcome([&] { return Put("file:" + file + "?mode=ro", 2); }).rfind("0xfc006d ", 0),
              0u);
    EXPECT_EQ(Outcome([&] { return ReadAll("file:" + file + "?mode=rw"); }),
              "0xfc0068 KIVO: The connection string 'file:" + file +
                  "?mode=rw' cannot be used: it asks for writing (mode=rw), and this program "
                  "opens stores read-only");
    EXPECT_EQ(Snapshot(file), before);
}

}  // namespace
