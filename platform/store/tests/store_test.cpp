#include "platform/store/store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/common/zaph/unit_utilities.h"
#include "platform/store/diff.h"
#include "platform/store/object_identity.h"
#include "platform/store/store_errors.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using KivoStore::OperationKind;
using KivoStoreTest::GuidObject;
using KivoStoreTest::MakeGuid;
using KivoStoreTest::RawDatabase;
using KivoStoreTest::TypePattern;
using KivoStoreTest::User;
using Zaph::View::SharedUnitPtr;
using ZaphTest::ErrorCodeOf;
using Names = std::vector<std::string>;

// Ids that differ in their first field and in their last byte.
const Common::Guid kFirst = MakeGuid("0000000A-0000-0000-0000-000000000000");
const Common::Guid kSecond = MakeGuid("000000B0-0000-0000-0000-000000000000");
const Common::Guid kThird = MakeGuid("FFFFFFFF-0000-0000-0000-000000000001");

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        KivoStore::CreateStore(folder_.WideFile("s.db"));
        store_ = KivoStore::Store::Open(folder_.WideFile("s.db"));
    }
    Names Reported(std::u16string_view type, uint64_t limit = 0) {
        return KivoStoreTest::ReportNames(*store_, type, limit);
    }
    Names Column(const std::string& sql) { return RawDatabase(folder_.File("s.db")).Column(sql); }

    KivoStoreTest::ScratchFolder folder_;
    std::shared_ptr<KivoStore::Store> store_;
};

TEST_F(StoreTest, IdsAreStoredAsTheirGuidText) {
    const SharedUnitPtr user = User(u"ann", 7, u"ann@example.org");
    store_->Apply({{OperationKind::CreateObject, GuidObject(kThird, u"Disk", u"d")},
                   {OperationKind::CreateObject, user}});
    const Common::Guid hashed = Kivo::GetObjectId(*Kivo::GetObjectKey(user));
    EXPECT_EQ(KivoStore::ToGuid(KivoStore::ObjectIdOf(user)), hashed);
    Names expected;
    for (const Common::Guid& guid : {kThird, hashed}) {
        std::string text = Common::GuidToString(guid);
        text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
        expected.push_back(text);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Column("SELECT hex(id) FROM objects ORDER BY id;"), expected);
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
    EXPECT_EQ(Reported(u"").size(), 2u);
}

TEST_F(StoreTest, CreateUpdateDeleteAndTheirRefusals) {
    store_->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"one", 1)}});
    const struct {
        OperationKind kind;
        SharedUnitPtr object;
        uint32_t code;
    } refusals[] = {
        {OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"x"), KivoStore::kObjectExists},
        {OperationKind::UpdateObject, GuidObject(kSecond, u"Disk", u"x"),
         KivoStore::kObjectNotFound},
        {OperationKind::DeleteObject, GuidObject(kSecond, u"Disk", u"x"),
         KivoStore::kObjectNotFound},
        {OperationKind::CreateObject, TypePattern(u"Disk"), Kivo::kObjectIdentificationNotFound},
        {OperationKind::DeleteObject, TypePattern(u"Disk"), Kivo::kObjectIdentificationNotFound},
    };
    for (const auto& refused : refusals)
        EXPECT_EQ(ErrorCodeOf([&] {
                      store_->Apply({{refused.kind, refused.object}});
                  }),
                  refused.code);

    // Same content: nothing to write. New content: a diff.
    std::unique_ptr<KivoStore::WriteBatch> batch = store_->BeginBatch();
    EXPECT_EQ(batch->UpdateObject(GuidObject(kFirst, u"Disk", u"one", 1)), nullptr);
    EXPECT_NE(batch->UpdateObject(GuidObject(kFirst, u"Disk", u"uno", 1)), nullptr);
    batch->Commit();
    EXPECT_EQ(batch->Counts().unchanged, 1u);
    EXPECT_EQ(Reported(u"Disk"), Names{"uno"});

    // The type moves with an update: the type table follows.
    store_->Apply({{OperationKind::UpdateObject, GuidObject(kFirst, u"Machine", u"uno", 1)}});
    EXPECT_TRUE(Reported(u"Disk").empty());
    EXPECT_EQ(Reported(u"Machine"), Names{"uno"});

    // A key alone names the object to delete.
    store_->Apply({{OperationKind::DeleteObject, GuidObject(kFirst, u"Other", u"")}});
    EXPECT_TRUE(Reported(u"").empty());
    EXPECT_TRUE(Column("SELECT type FROM object_types;").empty());
}

TEST_F(StoreTest, DeleteByPatternRemovesOnlyMatches) {
    store_->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"a", 1)},
                   {OperationKind::CreateObject, GuidObject(kSecond, u"Disk", u"b", 2)},
                   {OperationKind::CreateObject, GuidObject(kThird, u"Machine", u"c", 2)}});
    std::unique_ptr<KivoStore::WriteBatch> batch = store_->BeginBatch();
    const SharedUnitPtr countTwo(ZaphTest::Composite(ZaphTest::Prop{"Count", ZaphTest::DWord(2)}));
    EXPECT_EQ(batch->DeleteByPattern(countTwo), 2u);
    EXPECT_EQ(ErrorCodeOf([&] { batch->DeleteByPattern(nullptr); }), KivoStore::kNullPattern);
    batch->Commit();
    EXPECT_EQ(Reported(u""), Names{"a"});
    EXPECT_TRUE(Reported(u"Machine").empty());
}

TEST_F(StoreTest, BatchThatFailsHalfWayChangesNothing) {
    store_->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"kept", 1)}});
    EXPECT_EQ(
        ErrorCodeOf([&] {
            store_->Apply({{OperationKind::CreateObject, GuidObject(kSecond, u"Disk", u"new")},
                           {OperationKind::UpdateObject, GuidObject(kFirst, u"Disk", u"changed")},
                           {OperationKind::DeleteByPattern, TypePattern(u"")},
                           {OperationKind::CreateObject, GuidObject(kThird, u"Disk", u"third")},
                           {OperationKind::CreateObject, GuidObject(kThird, u"Disk", u"again")}});
        }),
        KivoStore::kObjectExists);
    EXPECT_EQ(Reported(u""), Names{"kept"});

    // A batch dropped without Commit leaves nothing either, and the store takes the next one.
    store_->BeginBatch()->CreateObject(GuidObject(kThird, u"Disk", u"dropped"));
    EXPECT_EQ(Reported(u"Disk"), Names{"kept"});
}

TEST_F(StoreTest, ReportsComeInIdOrderByTypeOrScanWithLimit) {
    store_->Apply({{OperationKind::CreateObject, GuidObject(kThird, u"Disk", u"3")},
                   {OperationKind::CreateObject, GuidObject(kSecond, u"Machine", u"2")},
                   {OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"1")}});
    EXPECT_EQ(Reported(u""), (Names{"1", "2", "3"}));
    EXPECT_EQ(Reported(u"Disk"), (Names{"1", "3"}));
    EXPECT_EQ(Reported(u"Disk", 1), Names{"1"});
    EXPECT_EQ(Reported(u"", 2), (Names{"1", "2"}));
    EXPECT_TRUE(Reported(u"Nothing").empty());

    // Canceled between objects.
    std::atomic<bool> canceled{false};
    size_t seen = 0;
    EXPECT_EQ(ErrorCodeOf([&] {
                  store_->Report(
                      *TypePattern(u""), 0,
                      [&](const SharedUnitPtr&) {
                          ++seen;
                          canceled = true;
                      },
                      &canceled);
              }),
              Async::kCanceled);
    EXPECT_EQ(seen, 1u);
}

TEST_F(StoreTest, ObjectWithTwoTypesIsFoundUnderBoth) {
    using ZaphTest::WithTrait, ZaphTest::Str;
    const SharedUnitPtr both = WithTrait(
        WithTrait(WithTrait(WithTrait(ZaphTest::Composite(ZaphTest::Prop{"Name", Str(u"both")}),
                                      "PrimaryKey", ZaphTest::Factory().CreateGuid(kFirst)),
                            "Is", Str(u"Disk")),
                  "Is", Str(u"Volume")),
        "Is", ZaphTest::DWord(3));
    store_->Apply({{OperationKind::CreateObject, both}});
    EXPECT_EQ(Reported(u"Disk"), Names{"both"});
    EXPECT_EQ(Reported(u"Volume"), Names{"both"});
    size_t pinned = 0;
    store_->Report(
        *WithTrait(WithTrait(ZaphTest::Composite(), "Is", Str(u"Volume")), "Is", Str(u"Disk")), 0,
        [&](const SharedUnitPtr&) { ++pinned; });
    EXPECT_EQ(pinned, 1u);
    store_->Apply({{OperationKind::DeleteObject, both}});
    EXPECT_TRUE(Column("SELECT type FROM object_types;").empty());
}

TEST_F(StoreTest, CorruptedRowIsTracedAndSkipped) {
    store_->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"good")},
                   {OperationKind::CreateObject, GuidObject(kSecond, u"Disk", u"bad")},
                   {OperationKind::CreateObject, GuidObject(kThird, u"Disk", u"short id")}});
    ASSERT_EQ(RawDatabase(folder_.File("s.db"))
                  .Execute("UPDATE objects SET body = substr(body, 1, 20) WHERE hex(id) LIKE "
                           "'000000B0%';"
                           "UPDATE objects SET id = x'01' WHERE hex(id) LIKE 'FFFFFFFF%';"
                           "INSERT INTO objects VALUES(x'00000000000000000000000000000001', "
                           "'text');"
                           "INSERT INTO object_types VALUES('Disk', "
                           "x'00000000000000000000000000000001');"),
              SQLITE_OK);

    KivoStoreTest::TraceCollector traces;
    EXPECT_EQ(Reported(u""), Names{"good"});
    ASSERT_EQ(traces.errors.size(), 3u);
    for (const Common::Error& traced : traces.errors)
        EXPECT_EQ(traced.Code(), KivoStore::kCorruptedObject);
    EXPECT_EQ(traces.errors[1].Reason().Code(), Zaph::Errors::kUnitCorrupted);
    EXPECT_EQ(Reported(u"Disk"), Names{"good"});

    // An update over a damaged row replaces it whole.
    store_->Apply({{OperationKind::StoreOrUpdate, GuidObject(kSecond, u"Disk", u"mended")}});
    EXPECT_EQ(Reported(u"Disk"), (Names{"good", "mended"}));
}

TEST_F(StoreTest, StoreHeldByAnotherWriterFailsAfterBoundedWait) {
    std::shared_ptr<KivoStore::Store> impatient =
        KivoStore::Store::Open(folder_.WideFile("s.db"), {std::chrono::milliseconds(200)});
    RawDatabase other(folder_.File("s.db"));
    ASSERT_EQ(other.Execute("BEGIN IMMEDIATE;"), SQLITE_OK);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        ErrorCodeOf([&] {
            impatient->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"x")}});
        }),
        KivoStore::kStoreBusy);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(4));

    // Readers are not held up by the writer.
    EXPECT_TRUE(Reported(u"").empty());
    ASSERT_EQ(other.Execute("ROLLBACK;"), SQLITE_OK);
    impatient->Apply({{OperationKind::CreateObject, GuidObject(kFirst, u"Disk", u"x")}});
    EXPECT_EQ(Reported(u""), Names{"x"});
}

TEST(DiffTest, HoldsChangedAddedAndRemovedPropertiesAndNewTypes) {
    using ZaphTest::Prop, ZaphTest::WithTrait, ZaphTest::DWord;
    const auto disk = [](Zaph::Construction::UnitPtr unit) {
        return WithTrait(std::move(unit), "Is", ZaphTest::Str(u"Disk"));
    };
    const auto before = disk(ZaphTest::Composite(Prop{"Same", DWord(1)}, Prop{"Changed", DWord(1)},
                                                 Prop{"Gone", DWord(1)}));
    const auto after = disk(ZaphTest::Composite(Prop{"Same", DWord(1)}, Prop{"Changed", DWord(2)},
                                                Prop{"Added", ZaphTest::Str(u"x")}));
    const auto expected = ZaphTest::Composite(
        Prop{"Changed", DWord(2)}, Prop{"Added", ZaphTest::Str(u"x")},
        Prop{"Gone", WithTrait(ZaphTest::Nil(), KivoStore::kRemovedTrait, ZaphTest::Nil())});
    auto& factory = Zaph::Construction::DefaultUnitFactory();
    const Zaph::Construction::UnitPtr diff = KivoStore::ComputeDiff(*before, *after, factory);
    ASSERT_NE(diff, nullptr);
    EXPECT_TRUE(Zaph::Util::UnitsEqual(*diff, *expected))
        << Zaph::Util::TraceUnitToString(*diff, "", true);
    EXPECT_EQ(KivoStore::ComputeDiff(*after, *after, factory), nullptr);
    // A change of type carries the new root traits.
    const auto retyped = WithTrait(ZaphTest::Composite(), "Is", ZaphTest::Str(u"Volume"));
    EXPECT_TRUE(Zaph::Util::HasTrait(*KivoStore::ComputeDiff(*before, *retyped, factory), "Is"));
}

}  // namespace
