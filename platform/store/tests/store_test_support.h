// Shared by the store tests (and by the tests of the libraries built over the store): a scratch
// folder, raw SQLite access beside the store, sample objects and patterns, the names a report
// delivers and a trace collector.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/guid.h"
#include "core/common/trace.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/common/zaph/trace_unit.h"
#include "enterprise/common/zaph/view.h"
#include "platform/store/store.h"

namespace KivoStoreTest {

using Zaph::View::SharedUnitPtr;

/// A folder of its own for one test, removed with everything in it at the end.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kivo_store.XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    std::u16string WideFile(const std::string& name) const {
        const std::string file = File(name);
        return std::u16string(file.begin(), file.end());
    }
    /// The names in the folder, sorted.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    std::filesystem::path path_;
};

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
    std::vector<std::string> Column(const std::string& sql) {
        std::vector<std::string> values;
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

/// A Guid from its text form.
inline Common::Guid MakeGuid(const char* text) {
    Common::Guid guid;
    GuidFromString(text, guid);
    return guid;
}

/// The Guid "<number as 8 hex digits>-0000-0000-0000-000000000000".
inline Common::Guid Numbered(uint32_t number) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-0000-0000-0000-000000000000", number);
    return MakeGuid(text);
}

/// An object keyed by a GUID: {PrimaryKey: guid, Is: type} with a Name and a Count.
inline SharedUnitPtr GuidObject(const Common::Guid& guid, std::u16string_view type,
                                std::u16string_view name, uint32_t count = 0) {
    using namespace ZaphTest;
    return SharedUnitPtr(
        WithTrait(WithTrait(Composite(Prop{"Name", Str(name)}, Prop{"Count", DWord(count)}),
                            "PrimaryKey", Factory().CreateGuid(guid)),
                  "Is", Str(type)));
}

/// The disk Numbered(number) named `name` whose Count is `count`.
inline SharedUnitPtr Disk(uint32_t number, std::u16string_view name, uint32_t count = 0) {
    return GuidObject(Numbered(number), u"Disk", name, count);
}

/// A user keyed by a hashed key composite {Login, KivoTimeStamp}, with a Mail property.
inline SharedUnitPtr User(std::u16string_view login, uint64_t stamp, std::u16string_view mail) {
    using namespace ZaphTest;
    UnitPtr key = WithTrait(
        Composite(Prop{"Login", Str(login)}, Prop{"KivoTimeStamp", Factory().CreateQWord(stamp)}),
        "PrimaryKey", Nil());
    return SharedUnitPtr(WithTrait(Composite(Prop{"Key", std::move(key)}, Prop{"Mail", Str(mail)}),
                                   "Is", Str(u"User")));
}

/// A pattern {Is: type}, or the Nil pattern that selects everything for an empty type.
inline SharedUnitPtr TypePattern(std::u16string_view type) {
    if (type.empty())
        return SharedUnitPtr(ZaphTest::Nil());
    return SharedUnitPtr(ZaphTest::WithTrait(ZaphTest::Composite(), "Is", ZaphTest::Str(type)));
}

/// The printed value of the first property `name` of `unit`, "" when there is none.
inline std::string PropertyText(const SharedUnitPtr& unit, const std::string& name) {
    const std::string printout = Zaph::Util::TraceUnitToString(*unit, "", true);
    const size_t at = printout.find(name + " (");
    if (at == std::string::npos)
        return "";
    const size_t value = printout.find(" = ", at) + 3;
    return printout.substr(value, printout.find('\n', value) - value);
}

/// The Names of the objects a report of `type` (every object when empty) delivers, in order.
inline std::vector<std::string> ReportNames(KivoStore::Store& store, std::u16string_view type,
                                            uint64_t limit = 0) {
    std::vector<std::string> names;
    store.Report(*TypePattern(type), limit, [&](const SharedUnitPtr& object) {
        names.push_back(PropertyText(object, "Name"));
    });
    return names;
}

/// Collects the errors traced while it lives (every level).
class TraceCollector {
  public:
    TraceCollector() {
        active_ = this;
        previousSink_ = Common::SetTraceErrorSink(&Collect);
        previousLevel_ = Common::TraceLevel();
        Common::SetTraceLevel(1);
    }
    ~TraceCollector() {
        Common::SetTraceErrorSink(previousSink_);
        Common::SetTraceLevel(previousLevel_);
        active_ = nullptr;
    }
    std::vector<Common::Error> errors;

  private:
    static void Collect(uint32_t, uint32_t, const Common::Error& error) noexcept {
        if (active_ != nullptr)
            active_->errors.push_back(error);
    }
    static inline TraceCollector* active_ = nullptr;
    Common::TraceErrorSink previousSink_ = nullptr;
    uint32_t previousLevel_ = 0;
};

}  // namespace KivoStoreTest
