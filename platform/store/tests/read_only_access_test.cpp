// Stores that a user may read but not write, stores that nobody may write, and read-only opens
// that must leave the store as it was. The cases of another user run as `nobody` in a child
// process and need root; the store's holder is another child, so that no SQLite state of the
// test process leaks into a reader.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "core/common/text.h"
#include "platform/store/store.h"
#include "platform/store/store_errors.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using KivoStoreTest::GuidObject;
using KivoStoreTest::MakeGuid;
using KivoStoreTest::ScratchFolder;

constexpr uid_t kNobody = 65534;
constexpr uid_t kRoot = 0;

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// "ok <objects>" or "<code> <message>", as the children report it.
std::string Outcome(const std::function<size_t()>& action) {
    try {
        return "ok " + std::to_string(action());
    } catch (const Common::Error& error) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%x ", error.Code());
        return code + Common::ToUtf8(error.Message());
    }
}

size_t ReadAll(const std::u16string& connection, bool readOnly) {
    KivoStore::OpenOptions options;
    options.readOnly = readOnly;
    size_t objects = 0;
    KivoStore::Store::Open(connection, options)
        ->Report(*KivoStoreTest::TypePattern(u""), 0,
                 [&](const Zaph::View::SharedUnitPtr&) { ++objects; });
    return objects;
}

size_t Put(const std::u16string& connection, const char* guid) {
    return KivoStore::Store::Open(connection)
        ->Apply({{KivoStore::OperationKind::StoreOrUpdate, GuidObject(MakeGuid(guid), u"D", u"x")}})
        .created;
}

// Runs `action` in a child process as `uid` (root keeps root) and returns its outcome.
std::string RunAs(uid_t uid, const std::function<size_t()>& action) {
    int ends[2];
    if (::pipe(ends) != 0)
        return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        if (uid != kRoot &&
            (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))
            _exit(3);
        const std::string outcome = Outcome(action);
        const bool written = ::write(ends[1], outcome.data(), outcome.size()) ==
                             static_cast<ssize_t>(outcome.size());
        _exit(written ? 0 : 4);
    }
    ::close(ends[1]);
    std::string outcome;
    char chunk[512];
    ssize_t got;
    while ((got = ::read(ends[0], chunk, sizeof chunk)) > 0)
        outcome.append(chunk, static_cast<size_t>(got));
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? outcome : "child failed: " + outcome;
}

// A process that keeps the store open for writing (as a service would) while it lives.
class Holder {
  public:
    explicit Holder(const std::u16string& connection) {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            return;
        child_ = ::fork();
        if (child_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            std::shared_ptr<KivoStore::Store> store;
            char byte = 'y';
            try {
                store = KivoStore::Store::Open(connection);
            } catch (const Common::Error&) {
                byte = 'n';
            }
            if (::write(ready[1], &byte, 1) != 1 || ::read(release[0], &byte, 1) != 0)
                _exit(2);
            store.reset();
            _exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        char byte = 0;
        held_ = ::read(ready[0], &byte, 1) == 1 && byte == 'y';
        ::close(ready[0]);
    }
    ~Holder() {
        ::close(release_);
        if (child_ > 0)
            ::waitpid(child_, nullptr, 0);
    }
    bool Held() const { return held_; }

  private:
    pid_t child_ = -1;
    int release_ = -1;
    bool held_ = false;
};

// A store with two objects, closed, its folder and file owned by `owner` with the given modes.
struct SharedStore {
    SharedStore(uid_t owner, mode_t folderMode, mode_t fileMode) {
        file = folder.File("s.db");
        KivoStore::CreateStore(Wide(file));
        Put(Wide(file), "00000000-0000-0000-0000-000000000001");
        Put(Wide(file), "00000000-0000-0000-0000-000000000002");
        const std::string path = folder.File("");
        if (::chown(path.c_str(), owner, owner) != 0 || ::chown(file.c_str(), owner, owner) != 0 ||
            ::chmod(path.c_str(), folderMode) != 0 || ::chmod(file.c_str(), fileMode) != 0)
            ADD_FAILURE() << "cannot set up " << path;
    }
    ScratchFolder folder;
    std::string file;
};

class OtherUserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != kRoot)
            GTEST_SKIP() << "reading as another user needs root, to become nobody";
    }
};

// The refusals without a holder, and reads while one holds the store, are tested through the
// programs (readonly_store_program_test.cpp); here, what the owner's read leaves behind.
TEST_F(OtherUserTest, SideFilesOfTheOwnersReadServeOtherReaders) {
    SharedStore store(kRoot, 0755, 0644);
    const std::u16string plain = Wide(store.file);
    const std::u16string readOnlyUri = Wide("file:" + store.file + "?mode=ro");
    const std::vector<std::string> alone = store.folder.Names();
    // A read-only open by the owner leaves the side files with the store's owner and mode; they
    // let others read without a holder, and the next writer to close removes them.
    EXPECT_EQ(RunAs(kRoot, [&] { return ReadAll(plain, true); }), "ok 2");
    EXPECT_EQ(store.folder.Names(), (std::vector<std::string>{"s.db", "s.db-shm", "s.db-wal"}));
    EXPECT_EQ(RunAs(kNobody, [&] { return ReadAll(readOnlyUri, true); }), "ok 2");
    EXPECT_EQ(RunAs(kRoot, [&] { return Put(plain, "00000000-0000-0000-0000-000000000003"); }),
              "ok 1");
    EXPECT_EQ(store.folder.Names(), alone);
}

TEST_F(OtherUserTest, ReaderDoesNotMakeSideFilesThatTheOwnerCouldNotWrite) {
    // In a folder that anyone may write, a reader other than the owner would make side files of
    // its own, which the owner could not write.
    SharedStore store(kNobody, 0777, 0644);
    const std::vector<std::string> alone = store.folder.Names();
    const std::string outcome = RunAs(12345, [&] { return ReadAll(Wide(store.file), true); });
    EXPECT_EQ(outcome.rfind("0xfc0067 KIVO: Cannot read the store '" + store.file +
                                "' while no program has it open: SQLite would make '" + store.file +
                                "-wal' owned by this user (uid 12345) with the "
                                "store's mode 0644",
                            0),
              0u)
        << outcome;
    EXPECT_EQ(store.folder.Names(), alone);
    EXPECT_EQ(RunAs(kNobody,
                    [&] {
                        return Put(Wide(store.file),
                                   "0000000A-0000-0000-0000-0"
                                   "00000000000");
                    }),
              "ok 1");
}

TEST_F(OtherUserTest, StoreNobodyMayWriteReadsOnlyWhileHeld) {
    SharedStore store(kNobody, 0755, 0444);
    const std::u16string plain = Wide(store.file);
    const std::vector<std::string> alone = store.folder.Names();
    // Root, too, is refused: it would leave side files the owner could not write.
    EXPECT_NE(RunAs(kRoot, [&] { return ReadAll(plain, true); })
                  .find("with the store's mode 0444, in which its owner may not write"),
              std::string::npos);
    {
        Holder holder(plain);
        ASSERT_TRUE(holder.Held());
        EXPECT_EQ(RunAs(kNobody, [&] { return ReadAll(plain, true); }), "ok 2");
    }
    EXPECT_EQ(store.folder.Names(), alone);
}

TEST_F(OtherUserTest, WriteRefusedBySideFileNamesIt) {
    SharedStore store(kNobody, 0755, 0644);
    Holder holder(Wide(store.file));
    ASSERT_TRUE(holder.Held());
    // As an older version left it: a side file its owner may not write.
    ASSERT_EQ(::chmod((store.file + "-shm").c_str(), 0444), 0);
    EXPECT_EQ(RunAs(kNobody,
                    [&] { return Put(Wide(store.file), "00000000-0000-0000-0000-00000000000A"); }),
              "0xfc006d KIVO: Cannot write the store '" + store.file +
                  "': this user (uid 65534) has no write permission on '" + store.file +
                  "-shm', which SQLite keeps beside it.");
    EXPECT_EQ(RunAs(kNobody, [&] { return ReadAll(Wide(store.file), true); }), "ok 2");
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
    ScratchFolder folder;
    const std::string file = folder.File("s.db");
    KivoStore::CreateStore(Wide(file));
    Put(Wide(file), "00000000-0000-0000-0000-000000000001");

    // A store its owner may not write: reading would leave side files that refuse the owner's
    // writes later, so it is refused while nothing holds it open.
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    EXPECT_EQ(Outcome([&] { return ReadAll(Wide(file), true); }).rfind("0xfc0067 ", 0), 0u);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"s.db"});
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);

    const auto before = Snapshot(file);
    EXPECT_EQ(Outcome([&] { return ReadAll(Wide(file), true); }), "ok 1");
    EXPECT_EQ(Outcome([&] {
                  return Put(Wide("file:" + file + "?mode=ro"),
                             "0000000B-0000-0000-0000-000000000000");
              }).rfind("0xfc006d ", 0),
              0u);
    EXPECT_EQ(Outcome([&] { return ReadAll(Wide("file:" + file + "?mode=rw"), true); }),
              "0xfc0068 KIVO: The connection string 'file:" + file +
                  "?mode=rw' cannot be used: it asks for writing (mode=rw), and this program "
                  "opens stores read-only");
    EXPECT_EQ(Snapshot(file), before);
}

}  // namespace
