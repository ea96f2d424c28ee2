#include "tests/support/test_postgres.h"

#include <unistd.h>

#include <atomic>

namespace KivoTestSupport {

std::string TestPostgres() {
    const char* base = std::getenv("KIVO_TEST_POSTGRES");
    return base != nullptr ? base : "";
}

PostgresSchema::PostgresSchema() {
    static std::atomic<unsigned> counter{0};
    name_ = "test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    const std::string base = TestPostgres();
    connection_ = base + (base.find('?') == std::string::npos ? "?" : "&") +
                  "options=-csearch_path%3D" + name_;
}

PostgresSchema::~PostgresSchema() {
    if (raw_ == nullptr && TestPostgres().empty())
        return;
    Execute("DROP SCHEMA IF EXISTS " + name_ + " CASCADE");
    PQfinish(raw_);
}

PGconn* PostgresSchema::Raw() {
    if (raw_ == nullptr || PQstatus(raw_) != CONNECTION_OK) {
        PQfinish(raw_);
        raw_ = PQconnectdb(connection_.c_str());
        PQsetNoticeProcessor(
            raw_, [](void*, const char*) {}, nullptr);
        PQclear(PQexec(raw_, "SET lock_timeout = 10000"));
    }
    return raw_;
}

bool PostgresSchema::Execute(const std::string& sql) {
    PGresult* result = PQexec(Raw(), sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    lastError_ = ok ? "" : PQresultErrorMessage(result);
    PQclear(result);
    return ok;
}

std::vector<std::string> PostgresSchema::Column(const std::string& sql) {
    std::vector<std::string> values;
    PGresult* result = PQexec(Raw(), sql.c_str());
    if (PQresultStatus(result) == PGRES_TUPLES_OK) {
        for (int row = 0; row < PQntuples(result); ++row)
            values.emplace_back(PQgetvalue(result, row, 0));
    } else {
        lastError_ = PQresultErrorMessage(result);
    }
    PQclear(result);
    return values;
}

int PostgresSchema::BackendPid() const {
    return raw_ != nullptr ? PQbackendPID(raw_) : 0;
}

}  // namespace KivoTestSupport
