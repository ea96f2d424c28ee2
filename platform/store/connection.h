// Connection strings: which store to open, and how.
//
// A connection string is either
//   - a PostgreSQL connection URI, "postgresql://…" or "postgres://…", as libpq reads it
//     (postgres_session.h); the store is a schema of that database; or
//   - a path of a SQLite file (relative to the working folder, or absolute), or ":memory:" for
//     a store that lives in this process only; or
//   - a "file:" URI as SQLite reads them: "file:data/objects.db", "file:///srv/objects.db",
//     "file:objects.db?mode=ro" (read-only), "file::memory:" or "file:x?mode=memory". Percent
//     escapes are decoded; the authority may only be empty or "localhost".
// Opening never makes a store (a file, or a schema): "mode=rwc" is refused, and a missing file is
// an error. Creating a store on disk is CreateStore's job (kivo_store's "create"). An in-memory
// store starts empty each time it is opened, and cannot be read-only.
//
// Thread-safety: pure functions, apart from the files they open.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "platform/store/engine.h"

namespace KivoStore {

/// How long a write waits for another writer before it fails with kStoreBusy, unless the
/// opener says otherwise.
inline constexpr std::chrono::milliseconds kDefaultBusyWait{5000};

/// Choices of the program that opens a store.
struct OpenOptions {
    std::chrono::milliseconds busyWait = kDefaultBusyWait;
    /// Opens a store on disk read-only whatever its connection string says ("mode=rw" is then
    /// refused); an in-memory store, which belongs to this process alone, opens as usual.
    bool readOnly = false;
};

/// What a connection string names, ready for the engine.
struct ConnectionTarget {
    /// The name handed to the engine, UTF-8: the path, or the URI as written.
    std::string engineName;
    bool isUri = false;
    bool readOnly = false;
    /// "mode=rw" was asked for.
    bool readWrite = false;
    bool inMemory = false;
    /// The file on disk, decoded; empty for an in-memory store.
    std::string filePath;
};

/// Reads a SQLite connection string; kBadConnectionString for one that names nothing this library
/// opens (empty, an authority other than localhost, "mode=rwc", an in-memory store read-only).
ConnectionTarget ParseConnectionString(const std::u16string& connection);

/// A connection string given as narrow text (a command line) in UTF-16. Bytes that are not UTF-8
/// would reach the store as U+FFFD and so name another file: kBadConnectionString instead.
[[nodiscard]] std::u16string DecodeConnectionString(std::string_view text);

/// The connection string as messages show it: a PostgreSQL one without its password.
[[nodiscard]] std::string ConnectionDisplayName(const std::u16string& connection);

/// Opens the store `connection` names; see store_errors.h and store_files.h for what can go
/// wrong. A store of an earlier layout opened read-write is brought up to date first, with
/// `typesOf`; opened read-only, it is refused with kStoreNeedsMigration, and nothing is written.
std::unique_ptr<Engine> OpenEngine(const std::u16string& connection, const OpenOptions& options,
                                   const BodyTypes& typesOf);

/// Makes a new, empty store: on disk, kStoreExists when the file is already there,
/// kStoreDirectoryMissing without its folder, kBadConnectionString for a read-only or in-memory
/// connection string; on PostgreSQL, kStoreExists when its schema holds a store. The store's change
/// log keeps `retention` (change_log.h).
void CreateStore(const std::u16string& connection, const Retention& retention = {});

}  // namespace KivoStore
