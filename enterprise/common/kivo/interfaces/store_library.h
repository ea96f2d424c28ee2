// The data-management library behind the "DB" service: a store opened in this process.
//
//   KIVO_Create(connection, customizer, factory, core, error)   opens the store
//   core->CreatePostOffice()                                     a post office over it
//   KIVO_Delete(core, error)                                     closes it
//
// The client reaches the library only through these calls. The library itself (platform/store)
// sits beside the client, implements StoreLibrary and registers it; a program that offers the
// "DB" service links it and keeps it registered while stores are open. With no library
// registered, KIVO_Create fails with kStoreLibraryMissing.
//
// Every post office made from a core object must be destroyed before the core object is given to
// KIVO_Delete.
//
// Thread-safety: KIVO_Create, KIVO_Delete and registration may be called from any thread; a core
// object may be used from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "enterprise/common/kivo/interfaces/post_office.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace Kivo {

/// KIVO_Create with no store library registered in the program.
inline constexpr uint32_t kStoreLibraryMissing = 0xFC0050;

/// Names the store to open.
class DbConnectionString : private Common::NonCopyable {
  public:
    virtual ~DbConnectionString() = default;
    virtual std::u16string GetConnectionString() const = 0;
};

/// A connection string known in full from the start.
class ResolvedConnectionString final : public DbConnectionString {
  public:
    explicit ResolvedConnectionString(std::u16string connectionString)
        : connectionString_(std::move(connectionString)) {}
    std::u16string GetConnectionString() const override { return connectionString_; }

  private:
    std::u16string connectionString_;
};

/// Whatever a store library hands to StoreCustomizer::Customize: its open store.
class CustomizableStore : private Common::NonCopyable {
  public:
    virtual ~CustomizableStore() = default;
};

/// Lets a program adjust the store that KIVO_Create opens.
class StoreCustomizer : private Common::NonCopyable {
  public:
    virtual ~StoreCustomizer() = default;
    /// Given the opened store, returns it or a wrapper of it that the library then uses.
    virtual std::shared_ptr<CustomizableStore> Customize(
        std::shared_ptr<CustomizableStore> store) = 0;
    /// The store to open.
    virtual std::unique_ptr<DbConnectionString> GetConnectionString() const = 0;
};

/// Opens the store of a given connection string as it is.
class NullStoreCustomizer final : public StoreCustomizer {
  public:
    explicit NullStoreCustomizer(std::u16string connectionString)
        : connectionString_(std::move(connectionString)) {}
    std::shared_ptr<CustomizableStore> Customize(
        std::shared_ptr<CustomizableStore> store) override {
        return store;
    }
    std::unique_ptr<DbConnectionString> GetConnectionString() const override {
        return std::make_unique<ResolvedConnectionString>(connectionString_);
    }

  private:
    std::u16string connectionString_;
};

/// An open store.
class CoreObject : private Common::NonCopyable {
  public:
    virtual ~CoreObject() = default;
    /// The connection string the store was opened with.
    virtual std::u16string GetConnectionString() const = 0;
    /// A new post office over the store.
    virtual std::unique_ptr<PostOffice> CreatePostOffice() = 0;
};

/// What a store library implements; see the file comment.
class StoreLibrary : private Common::NonCopyable {
  public:
    virtual ~StoreLibrary() = default;
    /// Opens the store; on success `core` holds it.
    virtual Common::Error Create(const std::u16string& connectionString,
                                 StoreCustomizer& customizer,
                                 Zaph::Construction::UnitFactory& factory,
                                 std::unique_ptr<CoreObject>& core) = 0;
    /// Closes the store that `core` holds; `core` is empty afterwards, also on failure.
    virtual Common::Error Delete(std::unique_ptr<CoreObject>& core) = 0;
};

/// Makes `library` the one KIVO_Create and KIVO_Delete use; null unregisters. The library must
/// stay alive while registered.
void RegisterStoreLibrary(StoreLibrary* library) noexcept;

}  // namespace Kivo

/// Opens a store; on failure `core` stays empty and `error` says why.
void KIVO_Create(const std::u16string& connectionString, Kivo::StoreCustomizer& customizer,
                 Zaph::Construction::UnitFactory& factory, std::unique_ptr<Kivo::CoreObject>& core,
                 Common::Error& error);

/// Closes a store opened by KIVO_Create; `core` is empty afterwards. An empty `core` is a no-op.
void KIVO_Delete(std::unique_ptr<Kivo::CoreObject>& core, Common::Error& error);
