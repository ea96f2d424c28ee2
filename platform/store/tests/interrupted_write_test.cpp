// A process killed in the middle of a large batch leaves the store, and its change log, as they
// were before the batch.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "platform/store/tests/store_test_support.h"

namespace {

using KivoStore::OperationKind;
using KivoStoreTest::GuidObject;
using KivoStoreTest::Numbered;

constexpr int kBatchSize = 60000;

// In a child: writes kBatchSize objects in one batch (updating the two from before now and
// then), tells `signal` after `announceAt` of them, and goes on; exits without returning.
[[noreturn]] void WriteInChild(const std::u16string& connection, int announceAt, int signal) {
    try {
        std::shared_ptr<KivoStore::Store> store = KivoStore::Store::Open(connection);
        std::unique_ptr<KivoStore::WriteBatch> batch = store->BeginBatch();
        for (int i = 0; i < kBatchSize; ++i) {
            const auto count = static_cast<uint32_t>(i);
            batch->CreateObject(
                GuidObject(Numbered(1000 + count), i % 2 ? u"Disk" : u"User", u"new", count));
            if (i % 1000 == 0)
                batch->StoreOrUpdate(KivoStoreTest::Disk(1 + count / 1000 % 2, u"changed", count),
                                     nullptr);
            if (i + 1 == announceAt && ::write(signal, "k", 1) != 1)
                _exit(3);
        }
        batch->Commit();
        _exit(0);
    } catch (...) {
        _exit(2);
    }
}

TEST(InterruptedWriteTest, KilledWriterLeavesTheStoreAsBefore) {
    KivoStoreTest::ScratchFolder folder;
    const std::u16string connection = folder.WideFile("s.db");
    KivoStore::CreateStore(connection);
    KivoStore::Store::Open(connection)
        ->Apply({{OperationKind::CreateObject, GuidObject(Numbered(1), u"Disk", u"before")},
                 {OperationKind::CreateObject, GuidObject(Numbered(2), u"User", u"before")}});

    std::random_device seed;
    std::mt19937 random(seed());
    std::uniform_int_distribution<int> point(1, kBatchSize);
    for (const int announceAt : {point(random), point(random), kBatchSize}) {
        SCOPED_TRACE("killed after object " + std::to_string(announceAt));
        int pipeEnds[2];
        ASSERT_EQ(::pipe(pipeEnds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeEnds[0]);
            WriteInChild(connection, announceAt, pipeEnds[1]);
        }
        ::close(pipeEnds[1]);
        char byte = 0;
        ASSERT_EQ(::read(pipeEnds[0], &byte, 1), 1);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(pipeEnds[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended on its own with " << status;

        EXPECT_EQ(KivoStoreTest::ReportNames(*KivoStore::Store::Open(connection), u""),
                  (std::vector<std::string>{"before", "before"}));
        KivoStoreTest::RawDatabase raw(folder.File("s.db"));
        EXPECT_EQ(raw.Column("PRAGMA integrity_check;"), std::vector<std::string>{"ok"});
        EXPECT_EQ(raw.Column("SELECT count(*) FROM object_types;"), std::vector<std::string>{"2"});
        // No entry without its change, no change without its entry.
        EXPECT_EQ(raw.Column("SELECT group_concat(seq || ':' || kind) FROM changes;"),
                  std::vector<std::string>{"1:0,2:0"});
        EXPECT_EQ(raw.Column("SELECT count(*) FROM objects o JOIN changes c ON c.id = o.id AND "
                             "c.after = o.body;"),
                  std::vector<std::string>{"2"});
    }
}

}  // namespace
