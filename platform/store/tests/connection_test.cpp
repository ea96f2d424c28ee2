#include "platform/store/connection.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "core/common/text.h"
#include "platform/store/feed_subscription.h"
#include "platform/store/sqlite_engine.h"
#include "platform/store/store_errors.h"
#include "platform/store/store_library.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using KivoStoreTest::RawDatabase;
using KivoStoreTest::ScratchFolder;
using KivoStoreTest::Wide;
using Names = std::vector<std::string>;

uint32_t OpenFailure(const std::string& connection) {
    return ZaphTest::ErrorCodeOf([&] { KivoStore::Store::Open(Wide(connection)); });
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

    for (const char16_t* memory : {u":memory:", u"file::memory:", u"file:x?mode=memory"})
        EXPECT_TRUE(KivoStore::ParseConnectionString(memory).inMemory);
}

// Opening and creating refuse what names no store of theirs, and leave the folder as it was.
TEST(ConnectionStringTest, RefusalsLeaveTheFolderAsItWas) {
    ScratchFolder folder;
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
    for (const auto& refused : refusals) {
        SCOPED_TRACE(refused.connection);
        EXPECT_EQ(refused.create ? ZaphTest::ErrorCodeOf(
                                       [&] { KivoStore::CreateStore(Wide(refused.connection)); })
                                 : OpenFailure(refused.connection),
                  refused.code);
    }
    for (const char* bad :
         {"", "file:", "file://otherhost/x.db", "file:x.db?mode=rwc", "file:x.db?mode=bogus",
          "file::memory:?mode=ro", "file:a%2", "file:x.db?nolock=1",
          "file:x.db?mode=ro&immutable=1", "file:x.db?cache=shared", "file:x.db?vfs=unix-none"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(OpenFailure(bad), KivoStore::kBadConnectionString);
    }
    const Common::Error empty =
        ZaphTest::ErrorOf([&] { KivoStore::Store::Open(Wide(in + "empty.db")); });
    EXPECT_EQ(Common::ToUtf8(empty.Message()),
              "KIVO: '" + in + "empty.db' is an empty file, not a store.");

    EXPECT_EQ(folder.Names(), before);
    EXPECT_EQ(RawDatabase(in + "other.db").Column("PRAGMA journal_mode;"), Names{"delete"});
    EXPECT_EQ(RawDatabase(in + "a.db").Column("PRAGMA journal_mode;"), Names{"wal"});
}

// Stores of the earlier layouts, made from a current one as those versions wrote them: read-only,
// the first layout is refused (through the store library too) and the second reports but has no
// feed, and nothing is written; read-write, both migrate to the current layout.
TEST(StoreLayoutTest, EarlierLayoutsMigrateReadWriteOnly) {
    const struct {
        int layout;
        const char* downgrade;
    } layouts[] = {
        {1, "DROP TABLE object_types;"},
        {2, ""},
    };
    for (const auto& earlier : layouts) {
        SCOPED_TRACE(earlier.layout);
        ScratchFolder folder;
        const std::string file = folder.File("old.db");
        KivoStore::CreateStore(Wide(file));
        KivoStore::Store::Open(Wide(file))
            ->Apply({{KivoStore::OperationKind::CreateObject, KivoStoreTest::Disk(1, u"kept")},
                     {KivoStore::OperationKind::CreateObject,
                      KivoStoreTest::User(u"ann", 1, u"a@b.org")}});
        ASSERT_EQ(RawDatabase(file).Execute(
                      std::string(earlier.downgrade) +
                      "DROP TABLE changes; DELETE FROM kivo_store WHERE name <> 'layout';"
                      "PRAGMA user_version=" +
                      std::to_string(earlier.layout) + ";"),
                  SQLITE_OK);
        const auto bytes = [&] {
            std::ifstream in(file, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), {});
        };
        const std::string before = bytes();
        const std::string readOnly = "file:" + file + "?mode=ro";
        if (earlier.layout == 1) {
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
            EXPECT_EQ(KivoStoreTest::ReportNames(*store, u"Disk"), Names{"kept"});
            EXPECT_EQ(ZaphTest::ErrorCodeOf([&] {
                          (void)KivoStore::FeedSubscription::Start(
                              store, KivoStoreTest::TypePattern(u""), 0,
                              [](const Zaph::View::SharedUnitPtr&) {});
                      }),
                      KivoStore::kStoreNeedsMigration);
        }
        EXPECT_EQ(bytes(), before);

        auto store = KivoStore::Store::Open(Wide(file));
        RawDatabase raw(file);
        EXPECT_EQ(raw.Column("PRAGMA user_version;"),
                  Names{std::to_string(KivoStore::kSchemaVersion)});
        EXPECT_EQ(raw.Column("SELECT type FROM object_types ORDER BY type;"),
                  (Names{"Disk", "User"}));
        EXPECT_EQ(KivoStoreTest::ReportNames(*store, u"Disk"), Names{"kept"});
        EXPECT_EQ(store->GetRetention().entries, 1'000'000u);
        auto feed = KivoStore::FeedSubscription::Start(store, KivoStoreTest::TypePattern(u""), 0,
                                                       [](const Zaph::View::SharedUnitPtr&) {});
        store->Apply({{KivoStore::OperationKind::DeleteObject, KivoStoreTest::Disk(1, u"")}});
        EXPECT_EQ(feed->ReadPending().size(), 1u);
    }
}

}  // namespace
