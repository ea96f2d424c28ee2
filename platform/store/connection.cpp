#include "platform/store/connection.h"

#include <string_view>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "platform/store/postgres_engine.h"
#include "platform/store/postgres_session.h"
#include "platform/store/sqlite_engine.h"
#include "platform/store/store_errors.h"

namespace KivoStore {
namespace {

constexpr std::string_view kUriScheme = "file:";
constexpr std::string_view kMemoryName = ":memory:";

Common::Error BadConnection(const Common::SourceLocation& place, const std::string& connection,
                            std::string_view why) {
    return Common::Error(
        place, kBadConnectionString,
        "KIVO: The connection string '" + connection + "' cannot be used: " + std::string(why));
}

// Decodes %HH escapes; false for a broken escape.
bool PercentDecode(std::string_view in, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size())
            return false;
        const int high = Common::HexDigitValue(in[i + 1]);
        const int low = Common::HexDigitValue(in[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// Reads the URI form into `target`.
void ParseUri(const std::string& text, ConnectionTarget& target) {
    std::string_view rest = std::string_view(text).substr(kUriScheme.size());
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const size_t slash = rest.find('/');
        const std::string_view authority = rest.substr(0, slash);
        if (!authority.empty() && authority != "localhost")
            throw BadConnection(
                COMMON_PLACE("KivoStore::ParseConnectionString"), text,
                "only local files can be opened (authority '" + std::string(authority) + "')");
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    const size_t queryStart = rest.find_first_of("?#");
    std::string_view query;
    if (queryStart != std::string_view::npos) {
        query = rest.substr(queryStart + 1);
        query = query.substr(0, query.find('#'));
        rest = rest.substr(0, queryStart);
    }
    if (!PercentDecode(rest, target.filePath))
        throw BadConnection(COMMON_PLACE("KivoStore::ParseConnectionString"), text,
                            "a percent escape is broken");
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty())
            continue;
        // Other SQLite parameters (nolock, immutable, cache, vfs) would undo what the store
        // promises about batches and readers, so only the mode is taken.
        const size_t equals = pair.find('=');
        if (pair.substr(0, equals) != "mode" || equals == std::string_view::npos)
            throw BadConnection(COMMON_PLACE("KivoStore::ParseConnectionString"), text,
                                "the parameter '" + std::string(pair) +
                                    "' is not understood; only mode=ro|rw|memory is");
        const std::string_view mode = pair.substr(equals + 1);
        if (mode == "ro") {
            target.readOnly = true;
        } else if (mode == "memory") {
            target.inMemory = true;
        } else if (mode == "rw") {
            target.readWrite = true;
        } else {
            throw BadConnection(COMMON_PLACE("KivoStore::ParseConnectionString"), text,
                                "mode '" + std::string(mode) +
                                    "' is not one of ro, rw, memory; opening never creates a "
                                    "store (use kivo_store create)");
        }
    }
    if (target.filePath == kMemoryName)
        target.inMemory = true;
}

}  // namespace

ConnectionTarget ParseConnectionString(const std::u16string& connection) {
    const std::string text = Common::ToUtf8(connection);
    ConnectionTarget target;
    target.engineName = text;
    if (text.empty())
        throw BadConnection(COMMON_PLACE("KivoStore::ParseConnectionString"), text, "it is empty");
    if (text.find('\0') != std::string::npos)
        throw BadConnection(COMMON_PLACE("KivoStore::ParseConnectionString"), text,
                            "it holds a NUL character");
    if (text.starts_with(kUriScheme)) {
        target.isUri = true;
        ParseUri(text, target);
    } else {
        target.filePath = text;
        target.inMemory = text == kMemoryName;
    }
    if (target.inMemory) {
        target.filePath.clear();
        if (target.readOnly)
            throw BadConnection(COMMON_PLACE("KivoStore::ParseConnectionString"), text,
                                "an in-memory store starts empty and cannot be read-only");
    } else if (target.filePath.empty()) {
        throw BadConnection(COMMON_PLACE("KivoStore::ParseConnectionString"), text,
                            "it names no file");
    }
    return target;
}

std::u16string DecodeConnectionString(std::string_view text) {
    std::u16string connection;
    if (!Common::Utf8ToUtf16(text, connection))
        throw Common::Error(COMMON_PLACE("KivoStore::DecodeConnectionString"), kBadConnectionString,
                            "KIVO: The connection string is not valid UTF-8, so it cannot name a "
                            "store.");
    return connection;
}

std::string ConnectionDisplayName(const std::u16string& connection) {
    const std::string text = Common::ToUtf8(connection);
    if (!IsPostgresConnection(text))
        return text;
    return ParsePostgresTarget(text).displayName;
}

std::unique_ptr<Engine> OpenEngine(const std::u16string& connection, const OpenOptions& options,
                                   const BodyTypes& typesOf) {
    const std::string text = Common::ToUtf8(connection);
    if (IsPostgresConnection(text))
        return OpenPostgresEngine(text, options);
    ConnectionTarget target = ParseConnectionString(connection);
    if (options.readOnly && !target.inMemory) {
        if (target.readWrite)
            throw BadConnection(COMMON_PLACE("KivoStore::OpenEngine"), target.engineName,
                                "it asks for writing (mode=rw), and this program opens stores "
                                "read-only");
        target.readOnly = true;
    }
    return OpenSqliteEngine(target, options, typesOf);
}

void CreateStore(const std::u16string& connection, const Retention& retention) {
    const std::string text = Common::ToUtf8(connection);
    if (IsPostgresConnection(text))
        return CreatePostgresStore(text, retention);
    const ConnectionTarget target = ParseConnectionString(connection);
    if (target.inMemory || target.readOnly)
        throw BadConnection(COMMON_PLACE("KivoStore::CreateStore"), target.engineName,
                            "a store is created on disk, read-write");
    CreateSqliteStore(target, retention);
}

}  // namespace KivoStore
