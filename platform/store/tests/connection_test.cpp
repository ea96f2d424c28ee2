#include "platform/store/connection.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "core/common/text.h"
#include "platform/store/sqlite_engine.h"
#include "platform/store/store.h"
#include "platform/store/store_errors.h"
#include "platform/store/store_library.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using KivoStoreTest::RawDatabase;
using KivoStoreTest::ScratchFolder;

uint32_t OpenFailure(const std::u16string& connection) {
    try {
        KivoStore::Store::Open(connection);
    } catch (const Common::Error& error) {
        return error.Code();
    }
    return 0;
}

std::string OpenFailureText(const std::u16string& connection) {
    try {
        KivoStore::Store::Open(connection);
    } catch (const Common::Error& error) {
        return Common::ToUtf8(error.Message());
    }
    return "";
}

std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

TEST(ConnectionStringTest, ReadsPathsAndUris) {
    const KivoStore::ConnectionTarget plain = KivoStore::ParseConnectionString(u"data/x.db");
    EXPECT_FALSE(plain.isUri);
    EXPECT_EQ(plain.filePath, "data/x.db");

    const KivoStore::ConnectionTarget uri =
        KivoStore::ParseConnectionString(u"file://localhost/srv/a%20b.db?mode=ro#x");
    EXPECT_TRUE(uri.isUri);
    EXPECT_TRUE(uri.readOnly);
    EXPECT_EQ(uri.filePath, "/srv/a b.db");

    EXPECT_TRUE(KivoStore::ParseConnectionString(u":memory:").inMemory);
    EXPECT_TRUE(KivoStore::ParseConnectionString(u"file::memory:").inMemory);
    EXPECT_TRUE(KivoStore::ParseConnectionString(u"file:x?mode=memory").inMemory);
}

TEST(ConnectionStringTest, RefusesWhatNamesNoStore) {
    for (const char16_t* bad : {u"", u"file:", u"file://otherhost/x.db", u"file:x.db?mode=rwc",
                                u"file:x.db?mode=bogus", u"file::memory:?mode=ro", u"file:a%2",
                                u"file:x.db?nolock=1", u"file:x.db?mode=ro&immutable=1",
                                u"file:x.db?cache=shared", u"file:x.db?vfs=unix-none"}) {
        SCOPED_TRACE(std::string(bad, bad + std::char_traits<char16_t>::length(bad)));
        EXPECT_EQ(OpenFailure(bad), KivoStore::kBadConnectionString);
    }
}

TEST(ConnectionStringTest, OpeningCreatesNothingOnDisk) {
    ScratchFolder folder;
    std::ofstream(folder.File("text.txt")) << "not a database at all, just some text\n";
    std::ofstream(folder.File("empty.db"));
    std::filesystem::create_directory(folder.File("folder.db"));
    RawDatabase(folder.File("other.db")).Execute("CREATE TABLE t(x); INSERT INTO t VALUES(1);");
    const std::vector<std::string> before = folder.Names();

    EXPECT_EQ(OpenFailure(folder.WideFile("missing.db")), KivoStore::kStoreMissing);
    EXPECT_EQ(OpenFailure(Wide("file:" + folder.File("missing.db"))), KivoStore::kStoreMissing);
    EXPECT_EQ(OpenFailure(folder.WideFile("nowhere/x.db")), KivoStore::kStoreDirectoryMissing);
    EXPECT_EQ(OpenFailure(folder.WideFile("text.txt")), KivoStore::kNotAStore);
    EXPECT_EQ(OpenFailure(folder.WideFile("empty.db")), KivoStore::kNotAStore);
    EXPECT_EQ(OpenFailureText(folder.WideFile("empty.db")),
              "KIVO: '" + folder.File("empty.db") + "' is an empty file, not a store.");
    EXPECT_EQ(OpenFailure(folder.WideFile("folder.db")), KivoStore::kNotAStore);
    EXPECT_EQ(OpenFailure(folder.WideFile("other.db")), KivoStore::kNotAStore);
    EXPECT_EQ(OpenFailure(Wide("file:" + folder.File("other.db") + "?mode=ro")),
              KivoStore::kNotAStore);

    EXPECT_EQ(folder.Names(), before);
    EXPECT_EQ(RawDatabase(folder.File("other.db")).Column("PRAGMA journal_mode;"),
              std::vector<std::string>{"delete"});
}

TEST(ConnectionStringTest, CreateRefusesExistingFilesAndMissingFolders) {
    ScratchFolder folder;
    KivoStore::CreateStore(folder.WideFile("a.db"));
    auto createFailure = [](const std::u16string& connection) -> uint32_t {
        try {
            KivoStore::CreateStore(connection);
        } catch (const Common::Error& error) {
            return error.Code();
        }
        return 0;
    };
    EXPECT_EQ(createFailure(folder.WideFile("a.db")), KivoStore::kStoreExists);
    EXPECT_EQ(createFailure(folder.WideFile("nowhere/b.db")), KivoStore::kStoreDirectoryMissing);
    EXPECT_EQ(createFailure(u":memory:"), KivoStore::kBadConnectionString);
    EXPECT_EQ(createFailure(Wide("file:" + folder.File("c.db") + "?mode=ro")),
              KivoStore::kBadConnectionString);
    EXPECT_EQ(RawDatabase(folder.File("a.db")).Column("PRAGMA journal_mode;"),
              std::vector<std::string>{"wal"});
}

TEST(StoreLayoutTest, NewerLayoutIsRefused) {
    ScratchFolder folder;
    KivoStore::CreateStore(folder.WideFile("a.db"));
    RawDatabase(folder.File("a.db")).Execute("PRAGMA user_version=99;");
    EXPECT_EQ(OpenFailure(folder.WideFile("a.db")), KivoStore::kStoreTooNew);
}

// A store of the first layout, written the way the first version of this library wrote it.
void WriteFirstLayout(const std::string& file,
                      const std::vector<Zaph::View::SharedUnitPtr>& objects) {
    // The bytes come from a store of the current layout, which keeps the same object rows.
    ScratchFolder scratch;
    KivoStore::CreateStore(scratch.WideFile("s.db"));
    std::vector<KivoStore::Operation> operations;
    for (const auto& object : objects)
        operations.push_back({KivoStore::OperationKind::CreateObject, object});
    KivoStore::Store::Open(scratch.WideFile("s.db"))->Apply(operations);

    RawDatabase raw(file);
    raw.Execute(
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE kivo_store(name TEXT PRIMARY KEY NOT NULL, value) WITHOUT ROWID;"
        "INSERT INTO kivo_store(name, value) VALUES('layout', 'kivo object store');"
        "CREATE TABLE objects(id BLOB PRIMARY KEY NOT NULL, body BLOB NOT NULL) WITHOUT ROWID;"
        "PRAGMA user_version=1;");
    raw.Execute("ATTACH '" + scratch.File("s.db") +
                "' AS s;"
                "INSERT INTO objects SELECT id, body FROM s.objects; DETACH s;");
}

TEST(StoreLayoutTest, FirstLayoutNeedsMigratingAndMigratesReadWrite) {
    ScratchFolder folder;
    WriteFirstLayout(
        folder.File("old.db"),
        {KivoStoreTest::GuidObject(KivoStoreTest::MakeGuid("00000000-0000-0000-0000-000000000001"),
                                   u"Disk", u"d1"),
         KivoStoreTest::User(u"ann", 1, u"ann@example.org")});

    // Read-only, and so through the store library (the DB service), nothing is written.
    const auto bytes = [&] {
        std::ifstream in(folder.File("old.db"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string before = bytes();
    EXPECT_EQ(OpenFailure(Wide("file:" + folder.File("old.db") + "?mode=ro")),
              KivoStore::kStoreNeedsMigration);
    {
        KivoStore::ScopedStoreLibrary library;
        Kivo::NullStoreCustomizer customizer(u"");
        Zaph::Construction::InMemoryUnitFactory factory;
        std::unique_ptr<Kivo::CoreObject> core;
        Common::Error error;
        KIVO_Create(folder.WideFile("old.db"), customizer, factory, core, error);
        EXPECT_EQ(error.Code(), KivoStore::kStoreNeedsMigration);
    }
    EXPECT_EQ(bytes(), before);
    EXPECT_EQ(RawDatabase(folder.File("old.db")).Column("PRAGMA user_version;"),
              std::vector<std::string>{"1"});

    std::shared_ptr<KivoStore::Store> store = KivoStore::Store::Open(folder.WideFile("old.db"));
    EXPECT_EQ(RawDatabase(folder.File("old.db")).Column("PRAGMA user_version;"),
              std::vector<std::string>{std::to_string(KivoStore::kSchemaVersion)});
    std::vector<std::string> names;
    store->Report(*KivoStoreTest::TypePattern(u"User"), 0,
                  [&](const Zaph::View::SharedUnitPtr&) { names.push_back("user"); });
    EXPECT_EQ(names, std::vector<std::string>{"user"});
    EXPECT_EQ(
        RawDatabase(folder.File("old.db")).Column("SELECT type FROM object_types ORDER BY type;"),
        (std::vector<std::string>{"Disk", "User"}));
}

}  // namespace
