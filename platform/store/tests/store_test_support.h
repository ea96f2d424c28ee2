// Shared by the store tests: raw SQL access beside the store, numbered disks, the names a report
// delivers, a feed, a fixture with a new store of each engine, and a child process.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/common/error/error.h"
#include "platform/store/feed_subscription.h"
#include "platform/store/store.h"
#include "tests/support/sample_objects.h"
#include "tests/support/temporary_folder.h"
#include "tests/support/test_postgres.h"

namespace KivoStoreTest {

using KivoTestSupport::GuidObject;
using KivoTestSupport::MakeGuid;
using KivoTestSupport::PropertyText;
using KivoTestSupport::TemporaryFolder;
using KivoTestSupport::TypePattern;
using Zaph::View::SharedUnitPtr;
using Names = std::vector<std::string>;

/// `text` (ASCII) as a wide text, as connection strings are.
inline std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

/// A plain SQLite connection to a file, as another program would hold it.
class RawDatabase {
  public:
    explicit RawDatabase(const std::string& file) {
        sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    }
    ~RawDatabase() { sqlite3_close_v2(db_); }
    /// Runs `sql`; returns SQLite's result code.
    int Execute(const std::string& sql) {
        return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    }
    /// The first column of each row of `sql`, as text.
    Names Column(const std::string& sql) {
        Names values;
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr);
        while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(statement, 0);
            values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
        }
        sqlite3_finalize(statement);
        return values;
    }

  private:
    sqlite3* db_ = nullptr;
};

/// The Guid "<number as 8 hex digits>-0000-0000-0000-000000000000".
inline Common::Guid Numbered(uint32_t number) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-0000-0000-0000-000000000000", number);
    return MakeGuid(text);
}

/// The disk Numbered(number) named `name` whose Count is `count`.
inline SharedUnitPtr Disk(uint32_t number, std::u16string_view name, uint32_t count = 0) {
    return GuidObject(Numbered(number), u"Disk", name, count);
}

/// The Names of the objects a report of `type` (every object when empty) delivers, in order.
inline Names ReportNames(KivoStore::Store& store, std::u16string_view type, uint64_t limit = 0) {
    Names names;
    store.Report(*TypePattern(type), limit, [&](const SharedUnitPtr& object) {
        names.push_back(PropertyText(object, "Name"));
    });
    return names;
}

/// A feed of the objects of `pattern` (every object by default) whose snapshot goes to `snapshot`
/// when one is given.
inline std::unique_ptr<KivoStore::FeedSubscription> Subscribe(
    const std::shared_ptr<KivoStore::Store>& store, const SharedUnitPtr& pattern = TypePattern(u""),
    std::vector<SharedUnitPtr>* snapshot = nullptr) {
    return KivoStore::FeedSubscription::Start(store, pattern, 0, [=](const SharedUnitPtr& object) {
        if (snapshot != nullptr)
            snapshot->push_back(object);
    });
}

/// The engines a store test runs on.
enum class EngineKind { Sqlite, Postgres };

/// The place of a store for one test: the file "s.db" in a temporary folder, or a schema of its
/// own in the test run's PostgreSQL cluster; with raw SQL beside it in the engine's dialect.
class TestStorePlace {
  public:
    explicit TestStorePlace(EngineKind kind) : kind_(kind) {}
    EngineKind Kind() const { return kind_; }
    std::u16string Connection() const {
        return Wide(kind_ == EngineKind::Sqlite ? folder_.File("s.db") : schema_.Connection());
    }
    /// Runs `sql` on a connection of its own; true when it succeeded.
    bool Execute(const std::string& sql) {
        if (kind_ == EngineKind::Sqlite)
            return RawDatabase(folder_.File("s.db")).Execute(sql) == SQLITE_OK;
        const bool ok = schema_.Execute(sql);
        EXPECT_TRUE(ok) << schema_.LastError();
        return ok;
    }
    Names Column(const std::string& sql) {
        if (kind_ == EngineKind::Sqlite)
            return RawDatabase(folder_.File("s.db")).Column(sql);
        return schema_.Column(sql);
    }
    /// The rows of `sql` joined by `separator`.
    std::string Joined(const std::string& sql, const char* separator = ",") {
        std::string joined;
        for (const std::string& value : Column(sql))
            joined += (joined.empty() ? "" : separator) + value;
        return joined;
    }
    /// A literal of the bytes `hex` (upper-case digits) in the engine's SQL.
    std::string Blob(const std::string& hex) const {
        return kind_ == EngineKind::Sqlite ? "x'" + hex + "'" : "'\\x" + hex + "'::bytea";
    }
    /// Holds every writer of the store off, on a connection of its own, until ReleaseWriters.
    bool HoldWriters() {
        if (kind_ == EngineKind::Postgres)
            return schema_.Execute(
                "BEGIN; SELECT pg_advisory_xact_lock(1263097423, hashtext(current_schema()));");
        holder_ = std::make_unique<RawDatabase>(folder_.File("s.db"));
        return holder_->Execute("BEGIN IMMEDIATE;") == SQLITE_OK;
    }
    bool ReleaseWriters() {
        if (kind_ == EngineKind::Postgres)
            return schema_.Execute("ROLLBACK;");
        return std::exchange(holder_, nullptr)->Execute("ROLLBACK;") == SQLITE_OK;
    }
    TemporaryFolder& Folder() { return folder_; }
    KivoTestSupport::PostgresSchema& Schema() { return schema_; }

  private:
    EngineKind kind_;
    TemporaryFolder folder_;
    KivoTestSupport::PostgresSchema schema_;
    std::unique_ptr<RawDatabase> holder_;
};

/// The engine's name in test names.
inline std::string EngineName(const ::testing::TestParamInfo<EngineKind>& info) {
    return info.param == EngineKind::Sqlite ? "Sqlite" : "Postgres";
}

/// Runs the tests of `Suite` (a StoreFixture) on each engine.
#define KIVO_ON_EVERY_ENGINE(Suite)                                                                \
    INSTANTIATE_TEST_SUITE_P(                                                                      \
        Engines, Suite,                                                                            \
        ::testing::Values(KivoStoreTest::EngineKind::Sqlite, KivoStoreTest::EngineKind::Postgres), \
        KivoStoreTest::EngineName)

/// A new store of the test's engine, opened, with raw SQL access beside it.
class StoreFixture : public ::testing::TestWithParam<EngineKind> {
  protected:
    void SetUp() override {
        if (GetParam() == EngineKind::Postgres)
            KIVO_NEED_POSTGRES();
        KivoStore::CreateStore(place_.Connection());
        store_ = KivoStore::Store::Open(place_.Connection());
    }
    std::u16string Connection() const { return place_.Connection(); }
    Names Column(const std::string& sql) { return place_.Column(sql); }
    bool Execute(const std::string& sql) { return place_.Execute(sql); }
    std::string Joined(const std::string& sql) { return place_.Joined(sql); }
    /// The Names that a report of `type` (every object when empty) delivers, in order.
    Names Reported(std::u16string_view type, uint64_t limit = 0) {
        return ReportNames(*store_, type, limit);
    }
    /// The code of the error that applying `operations` raises, 0 when it raises none.
    uint32_t ApplyFailure(const std::vector<KivoStore::Operation>& operations) {
        return ZaphTest::ErrorCodeOf([&] { store_->Apply(operations); });
    }

    TestStorePlace place_{GetParam()};
    std::shared_ptr<KivoStore::Store> store_;
};

/// A child process that runs `body(fromParent, toParent)` and exits with its result (2 when it
/// raises). The parent tells it a byte (Tell), hears one (Heard) or all it writes (Told), and
/// waits for its end (Status: the exit status, or minus the signal that ended it). A child still
/// running when the object goes is killed.
class ChildProcess {
  public:
    explicit ChildProcess(const std::function<int(int, int)>& body) {
        if (::pipe(down_) != 0 || ::pipe(up_) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(down_[1]);
            ::close(up_[0]);
            int status = 2;
            try {
                status = body(down_[0], up_[1]);
            } catch (...) {
            }
            _exit(status);
        }
        ::close(down_[0]);
        ::close(up_[1]);
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            Kill();
            (void)Status();
        }
        ::close(up_[0]);
    }
    bool Tell() { return ::write(down_[1], "t", 1) == 1; }
    bool Heard() { return HeardOn(up_[0]); }
    std::string Told() {
        std::string told;
        char chunk[512];
        for (ssize_t got; (got = ::read(up_[0], chunk, sizeof chunk)) > 0;)
            told.append(chunk, static_cast<size_t>(got));
        return told;
    }
    void Kill() { ::kill(pid_, SIGKILL); }
    int Status() {
        ::close(down_[1]);
        int status = 0;
        ::waitpid(std::exchange(pid_, -1), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    /// In the child: whether a byte came on `fd`.
    static bool HeardOn(int fd) {
        char byte = 0;
        return ::read(fd, &byte, 1) == 1;
    }

  private:
    int down_[2] = {-1, -1};
    int up_[2] = {-1, -1};
    pid_t pid_ = -1;
};

}  // namespace KivoStoreTest
