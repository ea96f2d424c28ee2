#include "platform/store/store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "core/common/text.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/unit_utilities.h"
#include "platform/store/diff.h"
#include "platform/store/object_identity.h"
#include "platform/store/store_errors.h"
#include "platform/store/tests/store_test_support.h"
#include "tests/support/trace_recorder.h"

namespace {

using namespace KivoStoreTest;
using Kind = KivoStore::OperationKind;
using ZaphTest::ErrorCodeOf;

// Ids that differ in their first field and in their last byte.
const Common::Guid kFirst = MakeGuid("0000000A-0000-0000-0000-000000000000");
const Common::Guid kSecond = MakeGuid("000000B0-0000-0000-0000-000000000000");
const Common::Guid kThird = MakeGuid("FFFFFFFF-0000-0000-0000-000000000001");

// A user keyed by a hashed key composite {Login, KivoTimeStamp}, with a Mail property.
SharedUnitPtr User(std::u16string_view login, uint64_t stamp, std::u16string_view mail) {
    using namespace ZaphTest;
    UnitPtr key = WithTrait(
        Composite(Prop{"Login", Str(login)}, Prop{"KivoTimeStamp", Factory().CreateQWord(stamp)}),
        "PrimaryKey", Nil());
    return SharedUnitPtr(WithTrait(Composite(Prop{"Key", std::move(key)}, Prop{"Mail", Str(mail)}),
                                   "Is", Str(u"User")));
}

// A GUID's bytes as the store keeps them, in hex: its text without the dashes.
std::string Hex(const Common::Guid& guid) {
    std::string text = Common::GuidToString(guid);
    text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
    return text;
}

using StoreTest = StoreFixture;
KIVO_ON_EVERY_ENGINE(StoreTest);

// Ids are stored as the bytes of their GUID text; hashed keys leave out their time stamp.
TEST_P(StoreTest, IdsAreTheirGuidAndHashedKeysIgnoreTheirTimeStamp) {
    const SharedUnitPtr user = User(u"ann", 1, u"old@example.org");
    store_->Apply(
        {{Kind::CreateObject, GuidObject(kThird, u"Disk", u"d")}, {Kind::CreateObject, user}});
    const Common::Guid hashed = Kivo::GetObjectId(*Kivo::GetObjectKey(user));
    EXPECT_EQ(KivoStore::ToGuid(KivoStore::ObjectIdOf(user)), hashed);
    EXPECT_EQ(Column("SELECT count(*) FROM objects WHERE id IN (" + place_.Blob(Hex(kThird)) +
                     ", " + place_.Blob(Hex(hashed)) + ");"),
              Names{"2"});

    std::unique_ptr<KivoStore::WriteBatch> batch = store_->BeginBatch();
    SharedUnitPtr diff;
    EXPECT_FALSE(batch->StoreOrUpdate(User(u"ann", 2, u"new@example.org"), &diff));
    EXPECT_TRUE(batch->StoreOrUpdate(User(u"bob", 2, u"bob@example.org"), &diff));
    batch->Commit();
    EXPECT_EQ(batch->Counts().created, 1u);
    EXPECT_EQ(batch->Counts().updated, 1u);
}

TEST_P(StoreTest, WritesAndTheirRefusalsAreWholeBatches) {
    store_->Apply({{Kind::CreateObject, GuidObject(kFirst, u"Disk", u"one", 1)}});
    // A batch that fails half-way changes nothing, nor does one dropped without Commit.
    EXPECT_EQ(ApplyFailure({{Kind::CreateObject, GuidObject(kSecond, u"Disk", u"new")},
                            {Kind::UpdateObject, GuidObject(kFirst, u"Disk", u"changed")},
                            {Kind::DeleteByPattern, TypePattern(u"")},
                            {Kind::CreateObject, GuidObject(kThird, u"Disk", u"third")},
                            {Kind::CreateObject, GuidObject(kThird, u"Disk", u"again")}}),
              KivoStore::kObjectExists);
    store_->BeginBatch()->CreateObject(GuidObject(kThird, u"Disk", u"dropped"));
    EXPECT_EQ(Reported(u""), Names{"one"});

    const std::pair<KivoStore::Operation, uint32_t> refusals[] = {
        {{Kind::UpdateObject, GuidObject(kSecond, u"Disk", u"x")}, KivoStore::kObjectNotFound},
        {{Kind::DeleteObject, GuidObject(kSecond, u"Disk", u"x")}, KivoStore::kObjectNotFound},
        {{Kind::CreateObject, TypePattern(u"Disk")}, Kivo::kObjectIdentificationNotFound},
        {{Kind::DeleteObject, TypePattern(u"Disk")}, Kivo::kObjectIdentificationNotFound},
    };
    for (const auto& [operation, code] : refusals)
        EXPECT_EQ(ApplyFailure({operation}), code);

    // Same content: nothing to write. New content: a diff.
    std::unique_ptr<KivoStore::WriteBatch> batch = store_->BeginBatch();
    EXPECT_EQ(batch->UpdateObject(GuidObject(kFirst, u"Disk", u"one", 1)), nullptr);
    EXPECT_NE(batch->UpdateObject(GuidObject(kFirst, u"Disk", u"uno", 1)), nullptr);
    batch->Commit();
    EXPECT_EQ(batch->Counts().unchanged, 1u);
    EXPECT_EQ(Reported(u"Disk"), Names{"uno"});

    // The type moves with an update: the type table follows.
    store_->Apply({{Kind::UpdateObject, GuidObject(kFirst, u"Machine", u"uno", 1)}});
    EXPECT_TRUE(Reported(u"Disk").empty());
    EXPECT_EQ(Reported(u"Machine"), Names{"uno"});

    // A key alone names the object to delete.
    store_->Apply({{Kind::DeleteObject, GuidObject(kFirst, u"Other", u"")}});
    EXPECT_TRUE(Reported(u"").empty());
    EXPECT_TRUE(Column("SELECT type FROM object_types;").empty());
}

// Reports come in id order, through the type table or by a scan; an object of two types (and an
// "Is" that is no type) is found under both; deleting by pattern removes only matches.
TEST_P(StoreTest, ReportsAndDeletesByPattern) {
    using namespace ZaphTest;
    const auto is = [](UnitPtr unit, const char16_t* type) {
        return WithTrait(std::move(unit), "Is", Str(type));
    };
    const SharedUnitPtr both(
        WithTrait(is(is(WithTrait(Composite(Prop{"Name", Str(u"2")}, Prop{"Count", DWord(2)}),
                                  "PrimaryKey", Factory().CreateGuid(kSecond)),
                        u"Machine"),
                     u"Volume"),
                  "Is", DWord(3)));
    store_->Apply({{Kind::CreateObject, GuidObject(kThird, u"Disk", u"3", 2)},
                   {Kind::CreateObject, both},
                   {Kind::CreateObject, GuidObject(kFirst, u"Disk", u"1", 1)}});
    EXPECT_EQ(Reported(u""), (Names{"1", "2", "3"}));
    EXPECT_EQ(Reported(u"Disk"), (Names{"1", "3"}));
    EXPECT_EQ(Reported(u"Disk", 1), Names{"1"});
    EXPECT_EQ(Reported(u"", 2), (Names{"1", "2"}));
    EXPECT_EQ(Reported(u"Volume"), Names{"2"});
    EXPECT_EQ(Reported(u"Machine"), Names{"2"});
    EXPECT_EQ(store_->Report(*is(is(Composite(), u"Volume"), u"Machine"), 0, [](auto&) {}), 1u);
    EXPECT_TRUE(Reported(u"Nothing").empty());

    // Canceled between objects.
    std::atomic<bool> canceled{false};
    const auto cancel = [&](const SharedUnitPtr&) { EXPECT_FALSE(canceled.exchange(true)); };
    EXPECT_EQ(ErrorCodeOf([&] { store_->Report(*TypePattern(u""), 0, cancel, &canceled); }),
              Common::kCanceled);

    std::unique_ptr<KivoStore::WriteBatch> batch = store_->BeginBatch();
    EXPECT_EQ(batch->DeleteByPattern(SharedUnitPtr(Composite(Prop{"Count", DWord(2)}))), 2u);
    EXPECT_EQ(ErrorCodeOf([&] { batch->DeleteByPattern(nullptr); }), KivoStore::kNullPattern);
    batch->Commit();
    EXPECT_EQ(Reported(u""), Names{"1"});
    EXPECT_EQ(Column("SELECT type FROM object_types;"), Names{"Disk"});
}

TEST_P(StoreTest, CorruptedRowIsTracedAndSkipped) {
    store_->Apply({{Kind::CreateObject, GuidObject(kFirst, u"Disk", u"good")},
                   {Kind::CreateObject, GuidObject(kSecond, u"Disk", u"bad")},
                   {Kind::CreateObject, GuidObject(kThird, u"Disk", u"short id")}});
    const std::string id = place_.Blob("00000000000000000000000000000001");
    ASSERT_TRUE(Execute(
        "UPDATE objects SET body = substr(body, 1, 20) WHERE id = " + place_.Blob(Hex(kSecond)) +
        ";UPDATE objects SET id = " + place_.Blob("01") +
        " WHERE id = " + place_.Blob(Hex(kThird)) + ";INSERT INTO objects VALUES(" + id +
        ", 'text');INSERT INTO object_types VALUES('Disk', " + id + ");"));

    KivoTestSupport::TraceRecorder traces;
    EXPECT_EQ(Reported(u""), Names{"good"});
    const auto traced = traces.Errors();
    ASSERT_EQ(traced.size(), 3u);
    for (const auto& [level, error] : traced)
        EXPECT_EQ(error.Code(), KivoStore::kCorruptedObject);
    EXPECT_EQ(traced[1].second.Reason().Code(), Zaph::Errors::kUnitCorrupted);
    EXPECT_EQ(Reported(u"Disk"), Names{"good"});

    // An update over a damaged row replaces it whole: to a subscription, whose snapshot left it
    // out, it is a creation; deleting another delivers nothing.
    std::vector<SharedUnitPtr> snapshot;
    const auto subscription = Subscribe(store_, TypePattern(u""), &snapshot);
    EXPECT_EQ(snapshot.size(), 1u);
    store_->Apply({{Kind::StoreOrUpdate, GuidObject(kSecond, u"Disk", u"mended")},
                   {Kind::DeleteObject,
                    GuidObject(MakeGuid("00000000-0000-0000-0000-000000000001"), u"Disk", u"")}});
    EXPECT_EQ(Reported(u"Disk"), (Names{"good", "mended"}));
    const auto updates = subscription->ReadPending();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].Type, 0u);
    EXPECT_EQ(PropertyText(updates[0].Key, "Name"), "mended");
}

TEST_P(StoreTest, StoreHeldByAnotherWriterFailsAfterBoundedWait) {
    std::shared_ptr<KivoStore::Store> impatient =
        KivoStore::Store::Open(Connection(), {std::chrono::milliseconds(200)});
    ASSERT_TRUE(place_.HoldWriters());

    const auto start = std::chrono::steady_clock::now();
    const Common::Error busy = ZaphTest::ErrorOf([&] {
        impatient->Apply({{Kind::CreateObject, GuidObject(kFirst, u"Disk", u"x")}});
    });
    EXPECT_EQ(busy.Code(), KivoStore::kStoreBusy);
    EXPECT_EQ(Common::ToUtf8(busy.Message()),
              "KIVO: The store '" + KivoStore::ConnectionDisplayName(Connection()) +
                  "' is held by another writer; gave up after 200 ms.");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(4));

    // Readers are not held up by the writer.
    EXPECT_TRUE(Reported(u"").empty());
    ASSERT_TRUE(place_.ReleaseWriters());
    impatient->Apply({{Kind::CreateObject, GuidObject(kFirst, u"Disk", u"x")}});
    EXPECT_EQ(Reported(u""), Names{"x"});
}

TEST(DiffTest, HoldsChangedAddedAndRemovedPropertiesAndNewTypes) {
    using namespace ZaphTest;
    const SharedUnitPtr before(WithTrait(
        Composite(Prop{"Same", DWord(1)}, Prop{"Changed", DWord(1)}, Prop{"Gone", DWord(1)}), "Is",
        Str(u"Disk")));
    const SharedUnitPtr after(WithTrait(
        Composite(Prop{"Same", DWord(1)}, Prop{"Changed", DWord(2)}, Prop{"Added", Str(u"x")}),
        "Is", Str(u"Disk")));
    const UnitPtr expected =
        Composite(Prop{"Changed", DWord(2)}, Prop{"Added", Str(u"x")},
                  Prop{"Gone", WithTrait(Nil(), KivoStore::kRemovedTrait, Nil())});
    const UnitPtr diff = KivoStore::ComputeDiff(*before, *after, Factory());
    ASSERT_NE(diff, nullptr);
    EXPECT_TRUE(Zaph::Util::UnitsEqual(*diff, *expected))
        << Zaph::Util::TraceUnitToString(*diff, "", true);
    // A change of type carries the new root traits.
    EXPECT_TRUE(Zaph::Util::HasTrait(
        *KivoStore::ComputeDiff(*before, *WithTrait(Composite(), "Is", Str(u"Volume")), Factory()),
        "Is"));
}

constexpr uint32_t kBatchSize = 60000;

// Writes kBatchSize objects in one batch (updating the two from before now and then), tells
// `toParent` after `announceAt` of them and goes on, then waits for `fromParent` (which never
// tells: the parent kills it) before its commit.
int WriteBatch(const std::u16string& connection, uint32_t announceAt, int fromParent,
               int toParent) {
    std::shared_ptr<KivoStore::Store> store = KivoStore::Store::Open(connection);
    std::unique_ptr<KivoStore::WriteBatch> batch = store->BeginBatch();
    for (uint32_t i = 0; i < kBatchSize; ++i) {
        batch->CreateObject(GuidObject(Numbered(1000 + i), i % 2 ? u"Disk" : u"User", u"new", i));
        if (i % 1000 == 0)
            batch->StoreOrUpdate(Disk(1 + i / 1000 % 2, u"changed", i), nullptr);
        if (i + 1 == announceAt && ::write(toParent, "k", 1) != 1)
            return 3;
    }
    if (ChildProcess::HeardOn(fromParent))
        batch->Commit();
    return 0;
}

// A process killed in the middle of a large batch, or before its commit, leaves the store and its
// change log as they were before the batch.
TEST(InterruptedWriteTest, KilledWriterLeavesTheStoreAsBefore) {
    TemporaryFolder folder;
    const std::u16string connection = folder.WideFile("s.db");
    KivoStore::CreateStore(connection);
    KivoStore::Store::Open(connection)
        ->Apply({{Kind::CreateObject, GuidObject(Numbered(1), u"Disk", u"before")},
                 {Kind::CreateObject, GuidObject(Numbered(2), u"User", u"before")}});

    for (const uint32_t announceAt : {1u, kBatchSize / 2 + 1, kBatchSize}) {
        SCOPED_TRACE("killed after object " + std::to_string(announceAt));
        ChildProcess writer([&](int fromParent, int toParent) {
            return WriteBatch(connection, announceAt, fromParent, toParent);
        });
        ASSERT_TRUE(writer.Heard());
        writer.Kill();
        ASSERT_EQ(writer.Status(), -SIGKILL);

        EXPECT_EQ(ReportNames(*KivoStore::Store::Open(connection), u""),
                  (Names{"before", "before"}));
        RawDatabase raw(folder.File("s.db"));
        EXPECT_EQ(raw.Column("PRAGMA integrity_check;"), Names{"ok"});
        EXPECT_EQ(raw.Column("SELECT count(*) FROM object_types;"), Names{"2"});
        // No entry without its change, no change without its entry.
        EXPECT_EQ(raw.Column("SELECT group_concat(seq || ':' || kind) FROM changes;"),
                  Names{"1:0,2:0"});
        EXPECT_EQ(raw.Column("SELECT count(*) FROM objects o JOIN changes c ON c.id = o.id AND "
                             "c.after = o.body;"),
                  Names{"2"});
    }
}

}  // namespace
