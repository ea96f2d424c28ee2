// The PostgreSQL cluster of a test run (scripts/test starts a throwaway one and names its database
// in KIVO_TEST_POSTGRES) and a schema of its own for each store a test makes there.
//
// Thread-safety: a schema belongs to the thread that made it.
#pragma once

#include <libpq-fe.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace KivoTestSupport {

/// The test cluster's connection string, empty when the run has none.
[[nodiscard]] std::string TestPostgres();

/// Skips the running test when the run has no PostgreSQL cluster; fails it instead when
/// KIVO_REQUIRE_POSTGRES is set (scripts/test), so that a cluster that did not start is noticed.
#define KIVO_NEED_POSTGRES()                                                           \
    do {                                                                               \
        if (KivoTestSupport::TestPostgres().empty()) {                                 \
            if (std::getenv("KIVO_REQUIRE_POSTGRES") != nullptr)                       \
                FAIL() << "KIVO_REQUIRE_POSTGRES is set, KIVO_TEST_POSTGRES is not";   \
            GTEST_SKIP() << "no PostgreSQL cluster for this run (KIVO_TEST_POSTGRES)"; \
        }                                                                              \
    } while (false)

/// A schema name no other test uses, and its store's connection string; the schema is dropped
/// when the object goes. Raw SQL runs beside the store on a connection of its own, as another
/// program's would.
class PostgresSchema {
  public:
    PostgresSchema();
    ~PostgresSchema();
    PostgresSchema(const PostgresSchema&) = delete;
    PostgresSchema& operator=(const PostgresSchema&) = delete;

    const std::string& Name() const { return name_; }
    /// The store's connection string (the test cluster's, its search_path this schema).
    const std::string& Connection() const { return connection_; }
    /// Runs `sql` (statements separated by ';'); false, with the server's message in
    /// LastError(), when it fails.
    bool Execute(const std::string& sql);
    /// The first column of each row of `sql`, as text ("" for null).
    std::vector<std::string> Column(const std::string& sql);
    const std::string& LastError() const { return lastError_; }
    /// The backend process id of the raw connection.
    int BackendPid() const;

  private:
    PGconn* Raw();

    std::string name_;
    std::string connection_;
    PGconn* raw_ = nullptr;
    std::string lastError_;
};

}  // namespace KivoTestSupport
