// Opening stores: connection strings, files that are no store of ours, earlier layouts, and
// read-only opens of stores that a user may read but not write. The cases of another user run in
// child processes (as `nobody` they need root), so that no SQLite state of the test process leaks
// into a reader.
#include "platform/store/connection.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/common/text.h"
#include "platform/store/sqlite_engine.h"
#include "platform/store/store_errors.h"
#include "platform/store/store_library.h"
#include "platform/store/tests/store_test_support.h"
#include "tests/support/programs.h"

namespace {

using namespace KivoStoreTest;
using Kind = KivoStore::OperationKind;
using KivoTestSupport::ReadFile;

uint32_t OpenFailure(const std::string& connection) {
    return ZaphTest::ErrorCodeOf([&] { KivoStore::Store::Open(Wide(connection)); });
}

// Paths and URIs (with an authority, escapes and a fragment) open the store they name; each
// in-memory open is a store of its own.
TEST(ConnectionStringTest, OpensWhatNamesAStore) {
    TemporaryFolder folder;
    const std::string in = folder.File("");
    KivoStore::CreateStore(Wide(in + "a b.db"));
    KivoStore::Store::Open(Wide(in + "a b.db"))->Apply({{Kind::CreateObject, Disk(1, u"kept")}});
    for (const std::string& connection :
         {in + "a b.db", "file://localhost" + in + "a%20b.db?mode=ro#x", "file:" + in + "a b.db"})
        EXPECT_EQ(ReportNames(*KivoStore::Store::Open(Wide(connection)), u""), Names{"kept"});
    auto memory = KivoStore::Store::Open(u":memory:");
    memory->Apply({{Kind::CreateObject, Disk(1, u"m")}});
    for (const char* other : {":memory:", "file::memory:", "file:x?mode=memory"})
        EXPECT_TRUE(ReportNames(*KivoStore::Store::Open(Wide(other)), u"").empty());
    EXPECT_EQ(ReportNames(*memory, u""), Names{"m"});
    EXPECT_EQ(folder.Names(), (Names{"a b.db"}));
}

// Opening and creating refuse what names no store of theirs, and leave the folder as it was.
TEST(ConnectionStringTest, RefusalsLeaveTheFolderAsItWas) {
    TemporaryFolder folder;
    const std::string in = folder.File("");
    std::ofstream(in + "text.txt") << "not a database at all, just some text\n";
    std::ofstream(in + "empty.db");
    std::filesystem::create_directory(in + "folder.db");
    RawDatabase(in + "other.db").Execute("CREATE TABLE t(x); INSERT INTO t VALUES(1);");
    KivoStore::CreateStore(Wide(in + "a.db"));
    KivoStore::CreateStore(Wide(in + "newer.db"));
    RawDatabase(in + "newer.db").Execute("PRAGMA user_version=99;");
    const Names before = folder.Names();

    const struct {
        bool create;
        std::string connection;
        uint32_t code;
    } refusals[] = {
        {false, in + "missing.db", KivoStore::kStoreMissing},
        {false, "file:" + in + "missing.db", KivoStore::kStoreMissing},
        {false, in + "nowhere/x.db", KivoStore::kStoreDirectoryMissing},
        {false, in + "text.txt", KivoStore::kNotAStore},
        {false, in + "empty.db", KivoStore::kNotAStore},
        {false, in + "folder.db", KivoStore::kNotAStore},
        {false, in + "other.db", KivoStore::kNotAStore},
        {false, "file:" + in + "other.db?mode=ro", KivoStore::kNotAStore},
        {false, in + "newer.db", KivoStore::kStoreTooNew},
        {true, in + "a.db", KivoStore::kStoreExists},
        {true, in + "nowhere/b.db", KivoStore::kStoreDirectoryMissing},
        {true, ":memory:", KivoStore::kBadConnectionString},
        {true, "file:" + in + "c.db?mode=ro", KivoStore::kBadConnectionString},
    };
    for (const auto& refusal : refusals) {
        const auto create = [&] { KivoStore::CreateStore(Wide(refusal.connection)); };
        EXPECT_EQ(refusal.create ? ZaphTest::ErrorCodeOf(create) : OpenFailure(refusal.connection),
                  refusal.code)
            << refusal.connection;
    }
    for (const char* bad :
         {"", "file:", "file://otherhost/x.db", "file:x.db?mode=rwc", "file:x.db?mode=bogus",
          "file::memory:?mode=ro", "file:a%2", "file:x.db?nolock=1",
          "file:x.db?mode=ro&immutable=1", "file:x.db?cache=shared", "file:x.db?vfs=unix-none"})
        EXPECT_EQ(OpenFailure(bad), KivoStore::kBadConnectionString) << bad;
    const std::pair<std::string, std::string> messages[] = {
        {"empty.db", "KIVO: '" + in + "empty.db' is an empty file, not a store."},
        {"missing.db", "KIVO: The store '" + in +
                           "missing.db' does not exist; kivo_store <connection> create makes one."},
        {"newer.db", "KIVO: The store '" + in +
                         "newer.db' has layout 99; this program knows up to " +
                         std::to_string(KivoStore::kSchemaVersion) + "."},
    };
    for (const auto& [file, message] : messages)
        EXPECT_EQ(Common::ToUtf8(ZaphTest::ErrorOf([&, &file = file] {
                                     KivoStore::Store::Open(Wide(in + file));
                                 }).Message()),
                  message);

    EXPECT_EQ(folder.Names(), before);
    EXPECT_EQ(RawDatabase(in + "other.db").Column("PRAGMA journal_mode;"), Names{"delete"});
    EXPECT_EQ(RawDatabase(in + "a.db").Column("PRAGMA journal_mode;"), Names{"wal"});
}

// Stores of the earlier layouts, made from a current one as those versions wrote them: read-only,
// the first layout is refused (through the store library too) and the second reports but has no
// feed, and nothing is written; read-write, both migrate to the current layout.
TEST(StoreLayoutTest, EarlierLayoutsMigrateReadWriteOnly) {
    const std::pair<int, std::string> layouts[] = {{1, "DROP TABLE object_types;"}, {2, ""}};
    for (const auto& [layout, downgrade] : layouts) {
        SCOPED_TRACE(layout);
        TemporaryFolder folder;
        const std::string file = folder.File("old.db");
        KivoStore::CreateStore(Wide(file));
        KivoStore::Store::Open(Wide(file))
            ->Apply({{Kind::CreateObject, Disk(1, u"kept")},
                     {Kind::CreateObject, GuidObject(Numbered(2), u"Machine", u"m")}});
        ASSERT_EQ(RawDatabase(file).Execute(
                      downgrade +
                      "DROP TABLE changes; DELETE FROM kivo_store WHERE name <> 'layout';"
                      "PRAGMA user_version=" +
                      std::to_string(layout) + ";"),
                  SQLITE_OK);
        const std::string before = ReadFile(file);
        const std::string readOnly = "file:" + file + "?mode=ro";
        if (layout == 1) {
            EXPECT_EQ(OpenFailure(readOnly), KivoStore::kStoreNeedsMigration);
            KivoStore::ScopedStoreLibrary library;
            Kivo::NullStoreCustomizer customizer(u"");
            std::unique_ptr<Kivo::CoreObject> core;
            Common::Error error;
            KIVO_Create(Wide(file), customizer, Zaph::Construction::DefaultUnitFactory(), core,
                        error);
            EXPECT_EQ(error.Code(), KivoStore::kStoreNeedsMigration);
        } else {
            auto store = KivoStore::Store::Open(Wide(readOnly));
            EXPECT_EQ(ReportNames(*store, u"Disk"), Names{"kept"});
            EXPECT_EQ(ZaphTest::ErrorCodeOf([&] { (void)Subscribe(store); }),
                      KivoStore::kStoreNeedsMigration);
        }
        EXPECT_EQ(ReadFile(file), before);

        auto store = KivoStore::Store::Open(Wide(file));
        RawDatabase raw(file);
        EXPECT_EQ(raw.Column("PRAGMA user_version;"),
                  Names{std::to_string(KivoStore::kSchemaVersion)});
        EXPECT_EQ(raw.Column("SELECT type FROM object_types ORDER BY type;"),
                  (Names{"Disk", "Machine"}));
        EXPECT_EQ(ReportNames(*store, u"Disk"), Names{"kept"});
        EXPECT_EQ(store->GetRetention().entries, 1'000'000u);
        auto feed = Subscribe(store);
        store->Apply({{Kind::DeleteObject, Disk(1, u"")}});
        EXPECT_EQ(feed->ReadPending().size(), 1u);
    }
}

constexpr uid_t kNobody = 65534;
constexpr uid_t kRoot = 0;

size_t ReadAll(const std::string& connection) {
    KivoStore::OpenOptions options;
    options.readOnly = true;
    return KivoStore::Store::Open(Wide(connection), options)
        ->Report(*TypePattern(u""), 0, [](const Zaph::View::SharedUnitPtr&) {});
}

size_t Put(const std::string& connection, uint32_t number) {
    return KivoStore::Store::Open(Wide(connection))
        ->Apply({{Kind::StoreOrUpdate, Disk(number, u"x")}})
        .created;
}

// Runs `action` in a child process as `uid` (kRoot: as this process's user): "ok <objects>" or
// "<code> <message>".
std::string RunAs(uid_t uid, const std::function<size_t()>& action) {
    return ChildProcess([&](int, int toParent) {
               if (uid != kRoot &&
                   (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0))
                   return 3;
               std::string outcome;
               try {
                   outcome = "ok " + std::to_string(action());
               } catch (const Common::Error& error) {
                   char code[16];
                   std::snprintf(code, sizeof code, "0x%x ", error.Code());
                   outcome = code + Common::ToUtf8(error.Message());
               }
               return ::write(toParent, outcome.data(), outcome.size()) < 0 ? 4 : 0;
           })
        .Told();
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
    TemporaryFolder folder;
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

TEST(ReadOnlyOpenTest, WritesNothingAndRefusesWhatWouldNeedWriting) {
    TemporaryFolder folder;
    const std::string file = folder.File("s.db");
    KivoStore::CreateStore(Wide(file));
    Put(file, 1);

    // A store its owner may not write: reading would leave side files that refuse the owner's
    // writes later, so it is refused while nothing holds it open.
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    EXPECT_EQ(RunAs(kRoot, [&] { return ReadAll(file); }).rfind("0xfc0067 ", 0), 0u);
    EXPECT_EQ(folder.Names(), Names{"s.db"});
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);

    const std::string before = ReadFile(file);
    EXPECT_EQ(RunAs(kRoot, [&] { return ReadAll(file); }), "ok 1");
    EXPECT_EQ(
        RunAs(kRoot, [&] { return Put("file:" + file + "?mode=ro", 2); }).rfind("0xfc006d ", 0),
        0u);
    EXPECT_EQ(RunAs(kRoot, [&] { return ReadAll("file:" + file + "?mode=rw"); }),
              "0xfc0068 KIVO: The connection string 'file:" + file +
                  "?mode=rw' cannot be used: it asks for writing (mode=rw), and this program "
                  "opens stores read-only");
    EXPECT_EQ(ReadFile(file), before);
}

}  // namespace
