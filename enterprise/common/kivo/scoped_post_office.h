// The local post office of the "DB" service: a store opened in this process for the life of
// one object.
//
//   std::unique_ptr<Kivo::PostOffice> postOffice = Kivo::CreateScopedPostOffice(u"/data/x.db");
//   ...                                   // Report and Subscribe as with any post office
//   postOffice.reset();                   // the store's post office goes, then the store closes
//
// Kivo::ScopedCoreDispatcher opens the store with KIVO_Create (store_library.h) when it is made,
// with a NullStoreCustomizer over the connection string, and closes it with KIVO_Delete when it
// is destroyed. The scoped post office holds a dispatcher and the store's post office, and
// forwards both operations to the latter. It destroys the store's post office before the
// dispatcher closes the store, so KIVO_Delete is called exactly once, after every post office of
// the store is gone, also when making the scoped post office failed half-way.
//
// Errors: a store that cannot be opened throws the error of KIVO_Create; a store that cannot be
// closed is traced at level 4, and destruction goes on.
//
// Thread-safety: Report and Subscribe as the store's post office; make and destroy on one
// thread, with no operation of the post office still running.
#pragma once

#include <memory>
#include <string>

#include "enterprise/common/kivo/interfaces/store_library.h"

namespace Kivo {

/// An open store for the life of the object; see the file comment.
class ScopedCoreDispatcher : private Common::NonCopyable {
  public:
    virtual ~ScopedCoreDispatcher() = default;
    /// The open store.
    virtual CoreObject& GetCoreObject() = 0;
};

/// Opens the store that `connectionString` names, making its units with `factory`, which must
/// outlive the dispatcher. Throws the error of KIVO_Create.
std::unique_ptr<ScopedCoreDispatcher> CreateScopedCoreDispatcher(
    const std::u16string& connectionString, Zaph::Construction::UnitFactory& factory);

/// A post office over the store that `connectionString` names; see the file comment. Throws the
/// error of KIVO_Create.
std::unique_ptr<PostOffice> CreateScopedPostOffice(const std::u16string& connectionString);

}  // namespace Kivo
