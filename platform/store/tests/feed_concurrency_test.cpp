// The change feed under concurrency: subscriptions made while a writer commits, in this process
// and in another, see every change exactly once; a commit of another process wakes a waiting
// read; the post office's subscriptions read and cancel across threads.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "platform/store/feed_subscription.h"
#include "platform/store/store_errors.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using KivoStore::FeedSubscription;
using KivoStore::OperationKind;
using KivoStoreTest::GuidObject;
using KivoStoreTest::PropertyText;
using Zaph::View::SharedUnitPtr;

constexpr uint32_t kObjects = 16;
constexpr uint32_t kCommits = 600;

SharedUnitPtr Counted(uint32_t number, uint32_t count) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-0000-0000-0000-0000000C0DE5", number);
    return GuidObject(KivoStoreTest::MakeGuid(text), u"Disk", u"n", count);
}

// The writer: commit i creates, updates (Count = i) or deletes object i % kObjects.
void WriteInLoop(KivoStore::Store& store) {
    std::vector<bool> stored(kObjects, false);
    for (uint32_t i = 1; i <= kCommits; ++i) {
        const uint32_t object = i % kObjects;
        OperationKind kind = OperationKind::CreateObject;
        if (stored[object])
            kind = i % 5 == 0 ? OperationKind::DeleteObject : OperationKind::UpdateObject;
        store.Apply({{kind, Counted(object, i)}});
        stored[object] = kind != OperationKind::DeleteObject;
    }
}

// A subscriber's view of the store, kept from the snapshot and the updates; the first fault
// (a change seen twice, or one missed) is remembered.
class Follower {
  public:
    Follower(const std::shared_ptr<KivoStore::Store>& store)
        : feed_(FeedSubscription::Start(store, KivoStoreTest::TypePattern(u"Disk"), 0,
                                        [this](const SharedUnitPtr& object) {
                                            Put(Kivo::GetObjectIdText(object), object);
                                        })) {}
    void ReadPending() {
        for (const auto& update : feed_->ReadPending()) {
            const std::u16string id = update.Type == 0 ? Kivo::GetObjectIdText(update.Key)
                                                       : Kivo::GetKeyIdText(*update.Key);
            const bool known = view_.count(id) != 0;
            if (update.Type == 0 && known)
                fault_ = "created twice";
            else if (update.Type != 0 && !known)
                fault_ = "changed while unknown";
            else if (update.Type == 1 &&
                     std::stoul(PropertyText(update.PackedUpdate, "Count")) <= view_[id])
                fault_ = "an update seen twice or out of order";
            if (update.Type == 2)
                view_.erase(id);
            else
                Put(id, update.PackedUpdate);
        }
    }
    // Reads until the log's end as of `last`.
    void ReadTo(uint64_t last) {
        while (feed_->Position() < last)
            ReadPending();
    }
    std::map<std::u16string, unsigned long> view_;
    std::string fault_;

  private:
    void Put(const std::u16string& id, const SharedUnitPtr& object) {
        view_[id] = std::stoul(PropertyText(object, "Count"));
    }
    std::unique_ptr<FeedSubscription> feed_;
};

// What the store holds now, as a follower keeps it.
std::map<std::u16string, unsigned long> Current(KivoStore::Store& store) {
    std::map<std::u16string, unsigned long> view;
    store.Report(*KivoStoreTest::TypePattern(u"Disk"), 0, [&](const SharedUnitPtr& object) {
        view[Kivo::GetObjectIdText(object)] = std::stoul(PropertyText(object, "Count"));
    });
    return view;
}

uint64_t LastSequence(const std::string& file) {
    return std::stoull(
        KivoStoreTest::RawDatabase(file).Column("SELECT max(seq) FROM changes;").at(0));
}

// In a child: follows the store from subscriptions made while the parent writes; exits 0 when
// each saw every change exactly once.
[[noreturn]] void FollowInChild(const std::u16string& connection, const std::string& file,
                                int fromParent) {
    int status = 1;
    try {
        auto store = KivoStore::Store::Open(connection);
        char byte = 0;
        if (::read(fromParent, &byte, 1) != 1)
            _exit(3);
        std::vector<std::unique_ptr<Follower>> followers;
        for (int i = 0; i < 4; ++i) {
            followers.push_back(std::make_unique<Follower>(store));
            for (auto& follower : followers)
                follower->ReadPending();
        }
        if (::read(fromParent, &byte, 1) != 1)
            _exit(3);
        const uint64_t last = LastSequence(file);
        status = 0;
        for (auto& follower : followers) {
            follower->ReadTo(last);
            if (!follower->fault_.empty() || follower->view_ != Current(*store))
                status = 1;
        }
    } catch (const Common::Error&) {
        status = 2;
    }
    _exit(status);
}

TEST(FeedConcurrencyTest, SubscriptionsMadeDuringWritesSeeEveryChangeOnce) {
    KivoStoreTest::ScratchFolder folder;
    const std::u16string connection = folder.WideFile("s.db");
    KivoStore::CreateStore(connection);
    int toChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    // The child starts before any thread of this test.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(toChild[1]);
        FollowInChild(connection, folder.File("s.db"), toChild[0]);
    }
    ::close(toChild[0]);

    auto store = KivoStore::Store::Open(connection);
    std::thread writer([&] { WriteInLoop(*KivoStore::Store::Open(connection)); });
    ASSERT_EQ(::write(toChild[1], "w", 1), 1);
    std::vector<std::unique_ptr<Follower>> followers;
    for (int i = 0; i < 6; ++i) {
        followers.push_back(std::make_unique<Follower>(store));
        for (auto& follower : followers)
            follower->ReadPending();
    }
    writer.join();
    ASSERT_EQ(::write(toChild[1], "d", 1), 1);
    const uint64_t last = LastSequence(folder.File("s.db"));
    for (auto& follower : followers) {
        follower->ReadTo(last);
        EXPECT_EQ(follower->fault_, "");
        EXPECT_EQ(follower->view_, Current(*store));
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    ::close(toChild[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// Measures how long a read waits for a commit of a child process; fails past `bound`.
void WakeFromAnotherProcess(std::chrono::milliseconds bound) {
    KivoStoreTest::ScratchFolder folder;
    const std::u16string connection = folder.WideFile("s.db");
    KivoStore::CreateStore(connection);
    int toChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(toChild[1]);
        char byte = 0;
        int status = ::read(toChild[0], &byte, 1) == 1 ? 0 : 3;
        try {
            KivoStore::Store::Open(connection)
                ->Apply({{OperationKind::CreateObject, Counted(1, 1)}});
        } catch (const Common::Error&) {
            status = 2;
        }
        _exit(status);
    }
    ::close(toChild[0]);
    auto store = KivoStore::Store::Open(connection);
    auto subscription = FeedSubscription::Start(store, KivoStoreTest::TypePattern(u""), 0,
                                                [](const SharedUnitPtr&) {});
    std::atomic<bool> canceled{false};
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(::write(toChild[1], "g", 1), 1);
    const FeedSubscription::Updates updates = subscription->Read(canceled);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(updates.size(), 1u);
    EXPECT_LT(waited, bound);
    int status = -1;
    ::waitpid(child, &status, 0);
    ::close(toChild[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

TEST(FeedConcurrencyTest, AnotherProcessesCommitWakesAWaitingRead) {
    // Well inside the one-second tick that would catch a missed wake-up.
    WakeFromAnotherProcess(std::chrono::milliseconds(800));
    // Without inotify, the 50 ms look does it.
    ::setenv("KIVO_STORE_POLL", "1", 1);
    WakeFromAnotherProcess(std::chrono::milliseconds(800));
    ::unsetenv("KIVO_STORE_POLL");
}

}  // namespace
