#include "platform/store/store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/trace_unit.h"
#include "enterprise/common/zaph/unit_utilities.h"
#include "platform/store/diff.h"
#include "platform/store/object_identity.h"
#include "platform/store/store_errors.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using KivoStore::Operation;
using KivoStore::OperationKind;
using KivoStoreTest::GuidObject;
using KivoStoreTest::MakeGuid;
using KivoStoreTest::RawDatabase;
using KivoStoreTest::ScratchFolder;
using KivoStoreTest::TypePattern;
using KivoStoreTest::User;
using Zaph::View::SharedUnitPtr;

const Common::Guid kFirst = MakeGuid("0000000A-0000-0000-0000-000000000000");
const Common::Guid kSecond = MakeGuid("000000B0-0000-0000-0000-000000000000");
const Common::Guid kThird = MakeGuid("FFFFFFFF-0000-0000-0000-000000000001");

using KivoStoreTest::FailureOf;

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        KivoStore::CreateStore(folder_.WideFile("s.db"));
        store_ = KivoStore::Store::Open(folder_.WideFile("s.db"));
    }
    // The Name properties of the objects a report of `pattern` delivers, in order.
    std::vector<std::u16string> Names(const SharedUnitPtr& pattern, uint64_t limit = 0) {
        std::vector<std::u16string> names;
        store_->Report(*pattern, limit,
                       [&](const SharedUnitPtr& object) { names.push_back(NameOf(object)); });
        return names;
    }
    static std::u16string NameOf(const SharedUnitPtr& object) {
        std::u16string name;
        const std::string printout = Zaph::Util::TraceUnitToString(*object, "", true);
        const size_t at = printout.find("Name (Common::String) = ");
        if (at == std::string::npos)
            return u"?";
        const size_t start = at + std::strlen("Name (Common::String) = ");
        const std::string text = printout.substr(start, printout.find('\n', start) - start);
        return std::u16string(text.begin(), text.end());
    }
    size_t Count() { return Names(TypePattern(u"")).size(); }

    ScratchFolder folder_;
    std::shared_ptr<KivoStore::Store> store_;
};

TEST_F(StoreTest, IdsAreStoredAsTheirGuidText) {
    const SharedUnitPtr user = User(u"ann", 7, u"ann@example.org");
    store_->Apply({{OperationKind::CreateObject, GuidObject(kThird, u"Disk", u"d")},
                   {OperationKind::CreateObject, user}});

    const std::string hashed = Common::GuidToString(Kivo::GetObjectId(*Kivo::GetObjectKey(user)));
    auto hex = [](const Common::Guid& guid) {
        std::string text = Common::GuidToString(guid);
        text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
        return text;
    };
    std::vector<std::string> expected = {hex(kThird),
                                         hex(Kivo::GetObjectId(*Kivo::GetObjectKey(user)))};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(RawDatabase(folder_.File("s.db")).Column("SELECT hex(id) FROM objects ORDER BY id;"),
              expected);
    EXPECT_EQ(Common::GuidToString(KivoStore::ToGuid(KivoStore::ObjectIdOf(user))), hashed);
}

TEST_F(StoreTest, HashedKeysIgnoreTheirTimeStamp) {
    store_->Apply({{OperationKind::StoreOrUpdate, User(u"ann", 1, u"old@example.org")}});
    std::unique_ptr<KivoStore::WriteBatch> batch = store_->BeginBatch();
    SharedUnitPtr diff;
    EXPECT_FALSE(batch->StoreOrUpdate(User(u"ann", 2, u"new@example.org"), &diff));
    EXPECT_TRUE(batch->StoreOrUpdate(User(u"bob", 2, u"bob@example.org"), &diff));
    batch->Commit();
    EXPECT_EQ(batch->Counts().created, 1u);
    EXPECT_EQ(batch->Counts().updated, 1u);
    EXPECT_EQ(Count(), 2u);
}

TEST_F(StoreTest, ObjectsWithoutPrimaryKeyAreRefused) {
    const SharedUnitPtr keyless = TypePattern(u"Disk");
    EXPECT_EQ(FailureOf([&] {
                  store_->Apply({{OperationKind::CreateObject, keyless}});
              }),
              Kivo::kObjectIdentificationNotFound);
    EXPECT_EQ(FailureOf([&] {
                  store_->Apply({{OperationKind::DeleteObject, keyless}});
              }),
              Kivo::kObjectIdentificationNotFound);
}

TEST_F(StoreTest, CreateUpdateDeleteAndTheirRefusals) {
    store_->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"one", 1)}});
    EXPECT_EQ(FailureOf([&] {
                  store_->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"x")}});
              }),
              KivoStore::kObjectExists);
    EXPECT_EQ(
        FailureOf([&] {
            store_->Apply({{OperationKind::UpdateObject, GuidObject(kSecond, u"Disk", u"x")}});
        }),
        KivoStore::kObjectNotFound);
    EXPECT_EQ(
        FailureOf([&] {
            store_->Apply({{OperationKind::DeleteObject, GuidObject(kSecond, u"Disk", u"x")}});
        }),
        KivoStore::kObjectNotFound);

    // Same content: nothing to write. New content: a diff.
    std::unique_ptr<KivoStore::WriteBatch> batch = store_->BeginBatch();
    EXPECT_EQ(batch->UpdateObject(GuidObject(kFirst, u"Disk", u"one", 1)), nullptr);
    EXPECT_NE(batch->UpdateObject(GuidObject(kFirst, u"Disk", u"uno", 1)), nullptr);
    batch->Commit();
    EXPECT_EQ(batch->Counts().unchanged, 1u);
    EXPECT_EQ(Names(TypePattern(u"Disk")), std::vector<std::u16string>{u"uno"});

    // The type moves with an update: the type table follows.
    store_->Apply({{OperationKind::UpdateObject, GuidObject(kFirst, u"Machine", u"uno", 1)}});
    EXPECT_TRUE(Names(TypePattern(u"Disk")).empty());
    EXPECT_EQ(Names(TypePattern(u"Machine")), std::vector<std::u16string>{u"uno"});

    // A key alone names the object to delete.
    store_->Apply({{OperationKind::DeleteObject, GuidObject(kFirst, u"Other", u"")}});
    EXPECT_EQ(Count(), 0u);
    EXPECT_TRUE(RawDatabase(folder_.File("s.db")).Column("SELECT type FROM object_types;").empty());
}

TEST_F(StoreTest, DeleteByPatternRemovesOnlyMatches) {
    store_->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"a", 1)},
                   {OperationKind::CreateObject, GuidObject(kSecond, u"Disk", u"b", 2)},
                   {OperationKind::CreateObject, GuidObject(kThird, u"Machine", u"c", 2)}});
    const SharedUnitPtr countTwo(
        Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
            .Composite()
            .Property("Count")
            .DWord(2)
            .End()
            .End()
            .TakeResult());
    std::unique_ptr<KivoStore::WriteBatch> batch = store_->BeginBatch();
    EXPECT_EQ(batch->DeleteByPattern(countTwo), 2u);
    EXPECT_EQ(FailureOf([&] { batch->DeleteByPattern(nullptr); }), KivoStore::kNullPattern);
    batch->Commit();
    EXPECT_EQ(Names(TypePattern(u"")), std::vector<std::u16string>{u"a"});
    EXPECT_TRUE(Names(TypePattern(u"Machine")).empty());
}

TEST_F(StoreTest, BatchThatFailsHalfWayChangesNothing) {
    store_->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"kept", 1)}});
    EXPECT_EQ(
        FailureOf([&] {
            store_->Apply({{OperationKind::CreateObject, GuidObject(kSecond, u"Disk", u"new")},
                           {OperationKind::UpdateObject, GuidObject(kFirst, u"Disk", u"changed")},
                           {OperationKind::DeleteByPattern, TypePattern(u"")},
                           {OperationKind::CreateObject, GuidObject(kThird, u"Disk", u"third")},
                           {OperationKind::CreateObject, GuidObject(kThird, u"Disk", u"again")}});
        }),
        KivoStore::kObjectExists);
    EXPECT_EQ(Names(TypePattern(u"")), std::vector<std::u16string>{u"kept"});

    // A batch dropped without Commit leaves nothing either, and the store takes the next one.
    {
        std::unique_ptr<KivoStore::WriteBatch> batch = store_->BeginBatch();
        batch->CreateObject(GuidObject(kThird, u"Disk", u"dropped"));
    }
    EXPECT_EQ(Names(TypePattern(u"Disk")), std::vector<std::u16string>{u"kept"});
}

TEST_F(StoreTest, ReportsComeInIdOrderByTypeOrScanWithLimit) {
    // Written in reverse id order; ids differ in their first field and in their last byte.
    store_->Apply({{OperationKind::CreateObject, GuidObject(kThird, u"Disk", u"3")},
                   {OperationKind::CreateObject, GuidObject(kSecond, u"Machine", u"2")},
                   {OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"1")}});
    EXPECT_EQ(Names(TypePattern(u"")), (std::vector<std::u16string>{u"1", u"2", u"3"}));
    EXPECT_EQ(Names(TypePattern(u"Disk")), (std::vector<std::u16string>{u"1", u"3"}));
    EXPECT_EQ(Names(TypePattern(u"Disk"), 1), std::vector<std::u16string>{u"1"});
    EXPECT_EQ(Names(TypePattern(u""), 2), (std::vector<std::u16string>{u"1", u"2"}));
    EXPECT_TRUE(Names(TypePattern(u"Nothing")).empty());
}

TEST_F(StoreTest, ObjectWithTwoTypesIsFoundUnderBoth) {
    const SharedUnitPtr both(Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
                                 .Composite()
                                 .Trait("PrimaryKey")
                                 .Guid(kFirst)
                                 .End()
                                 .Trait("Is")
                                 .String(u"Disk")
                                 .End()
                                 .Trait("Is")
                                 .String(u"Volume")
                                 .End()
                                 .Trait("Is")
                                 .DWord(3)
                                 .End()
                                 .Property("Name")
                                 .String(u"both")
                                 .End()
                                 .End()
                                 .TakeResult());
    store_->Apply({{OperationKind::CreateObject, both}});
    EXPECT_EQ(Names(TypePattern(u"Disk")), std::vector<std::u16string>{u"both"});
    EXPECT_EQ(Names(TypePattern(u"Volume")), std::vector<std::u16string>{u"both"});
    const SharedUnitPtr pinnedToBoth(
        Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
            .Composite()
            .Trait("Is")
            .String(u"Volume")
            .End()
            .Trait("Is")
            .String(u"Disk")
            .End()
            .End()
            .TakeResult());
    EXPECT_EQ(Names(pinnedToBoth), std::vector<std::u16string>{u"both"});
    store_->Apply({{OperationKind::DeleteObject, both}});
    EXPECT_TRUE(RawDatabase(folder_.File("s.db")).Column("SELECT type FROM object_types;").empty());
}

TEST_F(StoreTest, CorruptedRowIsTracedAndSkipped) {
    store_->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"good")},
                   {OperationKind::CreateObject, GuidObject(kSecond, u"Disk", u"bad")},
                   {OperationKind::CreateObject, GuidObject(kThird, u"Disk", u"short id")}});
    RawDatabase raw(folder_.File("s.db"));
    ASSERT_EQ(raw.Execute(
                  "UPDATE objects SET body = substr(body, 1, 20) WHERE hex(id) LIKE '000000B0%';"
                  "UPDATE objects SET id = x'01' WHERE hex(id) LIKE 'FFFFFFFF%';"
                  "INSERT INTO objects VALUES(x'00000000000000000000000000000001', 'text');"
                  "INSERT INTO object_types VALUES('Disk', x'00000000000000000000000000000001');"),
              SQLITE_OK);

    KivoStoreTest::TraceCollector traces;
    EXPECT_EQ(Names(TypePattern(u"")), std::vector<std::u16string>{u"good"});
    ASSERT_EQ(traces.errors.size(), 3u);
    for (const Common::Error& traced : traces.errors)
        EXPECT_EQ(traced.Code(), KivoStore::kCorruptedObject);
    EXPECT_EQ(traces.errors[1].Reason().Code(), Zaph::Errors::kUnitCorrupted);
    EXPECT_EQ(Names(TypePattern(u"Disk")), std::vector<std::u16string>{u"good"});

    // An update over a damaged row replaces it whole.
    store_->Apply({{OperationKind::StoreOrUpdate, GuidObject(kSecond, u"Disk", u"mended")}});
    EXPECT_EQ(Names(TypePattern(u"Disk")), (std::vector<std::u16string>{u"good", u"mended"}));
}

TEST_F(StoreTest, StoreHeldByAnotherWriterFailsAfterBoundedWait) {
    std::shared_ptr<KivoStore::Store> impatient =
        KivoStore::Store::Open(folder_.WideFile("s.db"), {std::chrono::milliseconds(200)});
    RawDatabase other(folder_.File("s.db"));
    ASSERT_EQ(other.Execute("BEGIN IMMEDIATE;"), SQLITE_OK);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        FailureOf([&] {
            impatient->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"x")}});
        }),
        KivoStore::kStoreBusy);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(4));

    // Readers are not held up by the writer.
    EXPECT_EQ(Count(), 0u);
    ASSERT_EQ(other.Execute("ROLLBACK;"), SQLITE_OK);
    impatient->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"x")}});
    EXPECT_EQ(Count(), 1u);
}

TEST_F(StoreTest, ReadOnlyStoreRefusesWrites) {
    std::shared_ptr<KivoStore::Store> reader =
        KivoStore::Store::Open(u"file:" + folder_.WideFile("s.db") + u"?mode=ro");
    EXPECT_EQ(FailureOf([&] {
                  reader->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"x")}});
              }),
              KivoStore::kStoreReadOnly);
}

TEST_F(StoreTest, ReportCanBeCanceledBetweenObjects) {
    store_->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"1")},
                   {OperationKind::CreateObject, GuidObject(kSecond, u"Disk", u"2")}});
    std::atomic<bool> canceled{false};
    size_t seen = 0;
    EXPECT_EQ(FailureOf([&] {
                  store_->Report(
                      *TypePattern(u""), 0,
                      [&](const SharedUnitPtr&) {
                          ++seen;
                          canceled = true;
                      },
                      &canceled);
              }),
              Common::kCanceled);
    EXPECT_EQ(seen, 1u);
}

TEST(InMemoryStoreTest, StartsEmptyAndKeepsObjectsWhileOpen) {
    std::shared_ptr<KivoStore::Store> store = KivoStore::Store::Open(u":memory:");
    store->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"1")}});
    size_t count = 0;
    store->Report(*TypePattern(u"Disk"), 0, [&](const SharedUnitPtr&) { ++count; });
    EXPECT_EQ(count, 1u);
    count = 0;
    KivoStore::Store::Open(u"file::memory:")
        ->Report(*TypePattern(u""), 0, [&](const SharedUnitPtr&) { ++count; });
    EXPECT_EQ(count, 0u);
}

TEST(DiffTest, HoldsChangedAddedAndRemovedProperties) {
    auto& factory = Zaph::Construction::DefaultUnitFactory();
    const Zaph::Construction::UnitPtr before = Zaph::Util::FluentUnitBuilder(factory)
                                                   .Composite()
                                                   .Trait("Is")
                                                   .String(u"Disk")
                                                   .End()
                                                   .Property("Same")
                                                   .DWord(1)
                                                   .End()
                                                   .Property("Changed")
                                                   .DWord(1)
                                                   .End()
                                                   .Property("Gone")
                                                   .DWord(1)
                                                   .End()
                                                   .End()
                                                   .TakeResult();
    const Zaph::Construction::UnitPtr after = Zaph::Util::FluentUnitBuilder(factory)
                                                  .Composite()
                                                  .Trait("Is")
                                                  .String(u"Disk")
                                                  .End()
                                                  .Property("Same")
                                                  .DWord(1)
                                                  .End()
                                                  .Property("Changed")
                                                  .DWord(2)
                                                  .End()
                                                  .Property("Added")
                                                  .String(u"x")
                                                  .End()
                                                  .End()
                                                  .TakeResult();
    const Zaph::Construction::UnitPtr expected = Zaph::Util::FluentUnitBuilder(factory)
                                                     .Composite()
                                                     .Property("Changed")
                                                     .DWord(2)
                                                     .End()
                                                     .Property("Added")
                                                     .String(u"x")
                                                     .End()
                                                     .Property("Gone")
                                                     .Nil()
                                                     .Trait(KivoStore::kRemovedTrait)
                                                     .Nil()
                                                     .End()
                                                     .End()
                                                     .End()
                                                     .TakeResult();
    const Zaph::Construction::UnitPtr diff = KivoStore::ComputeDiff(*before, *after, factory);
    ASSERT_NE(diff, nullptr);
    EXPECT_TRUE(Zaph::Util::UnitsEqual(*diff, *expected))
        << Zaph::Util::TraceUnitToString(*diff, "", true);
    EXPECT_EQ(KivoStore::ComputeDiff(*after, *after, factory), nullptr);

    // A change of type carries the new root traits.
    const Zaph::Construction::UnitPtr retyped = Zaph::Util::FluentUnitBuilder(factory)
                                                    .Composite()
                                                    .Trait("Is")
                                                    .String(u"Volume")
                                                    .End()
                                                    .End()
                                                    .TakeResult();
    const Zaph::Construction::UnitPtr typeDiff = KivoStore::ComputeDiff(*before, *retyped, factory);
    EXPECT_TRUE(Zaph::Util::HasTrait(*typeDiff, "Is"));
}

}  // namespace
