// The store library of this program: KIVO_Create and KIVO_Delete over KivoStore::Store.
//
// A program that offers the "DB" service makes one ScopedStoreLibrary in main, before any store
// is opened, and keeps it until every store is closed:
//
//   int main(int argc, char** argv) {
//       KivoStore::ScopedStoreLibrary storeLibrary;
//       ...   // KIVO_Create / KIVO_Delete, or the client's scoped local post office
//   }
//
// KIVO_Create opens the store of its connection string (connection.h; the customizer's
// connection string when that is empty), hands it to the customizer, and keeps what the
// customizer returns, which must be the store itself or another KivoStore::Store
// (kStoreUnusable otherwise). The core object's post offices report from that store
// (post_office.h). Post offices only read, so a store on disk is opened read-only whatever the
// options and the connection string say: nothing is written to it, not even to bring a store of
// an earlier layout up to date (that open fails with kStoreNeedsMigration; kivo_store, which
// writes, migrates it), and a user who may read the store but not write it can report from it
// (store_files.h says when SQLite lets such a user in). Units read from the store are made with the
// process-wide in-memory factory, since report jobs may outlive the factory given to KIVO_Create.
// KIVO_Delete releases the core object; the store closes when its last running report ends.
//
// Thread-safety: see enterprise/common/kivo/interfaces/store_library.h.
#pragma once

#include <memory>

#include "enterprise/common/kivo/interfaces/store_library.h"
#include "platform/store/connection.h"

namespace KivoStore {

/// The library; OpenOptions apply to every store it opens, which it opens read-only.
class StoreLibrary final : public Kivo::StoreLibrary {
  public:
    explicit StoreLibrary(const OpenOptions& options = {}) : options_(options) {}

    Common::Error Create(const std::u16string& connectionString, Kivo::StoreCustomizer& customizer,
                         Zaph::Construction::UnitFactory& factory,
                         std::unique_ptr<Kivo::CoreObject>& core) override;
    Common::Error Delete(std::unique_ptr<Kivo::CoreObject>& core) override;

  private:
    const OpenOptions options_;
};

/// Registers a StoreLibrary for its lifetime, and unregisters it at the end.
class ScopedStoreLibrary : private Common::NonCopyable {
  public:
    explicit ScopedStoreLibrary(const OpenOptions& options = {});
    ~ScopedStoreLibrary();

  private:
    StoreLibrary library_;
};

}  // namespace KivoStore
