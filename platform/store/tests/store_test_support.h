// Shared by the store tests: raw SQLite access beside the store, numbered disks, the names a report
// delivers, a feed, a fixture with a new store, and a child process.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/common/error/error.h"
#include "platform/store/feed_subscription.h"
#include "platform/store/store.h"
#include "tests/support/sample_objects.h"
#include "tests/support/temporary_folder.h"

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

/// A new store "s.db" in a temporary folder, opened, with raw SQLite access to its file.
class StoreFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        KivoStore::CreateStore(folder_.WideFile("s.db"));
        store_ = KivoStore::Store::Open(folder_.WideFile("s.db"));
    }
    Names Column(const std::string& sql) { return RawDatabase(folder_.File("s.db")).Column(sql); }
    int Execute(const std::string& sql) { return RawDatabase(folder_.File("s.db")).Execute(sql); }
    /// The Names that a report of `type` (every object when empty) delivers, in order.
    Names Reported(std::u16string_view type, uint64_t limit = 0) {
        return ReportNames(*store_, type, limit);
    }
    /// The code of the error that applying `operations` raises, 0 when it raises none.
    uint32_t ApplyFailure(const std::vector<KivoStore::Operation>& operations) {
        return ZaphTest::ErrorCodeOf([&] { store_->Apply(operations); });
    }

    TemporaryFolder folder_;
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
