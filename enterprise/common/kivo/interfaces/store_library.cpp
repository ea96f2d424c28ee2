#include "enterprise/common/kivo/interfaces/store_library.h"

#include <atomic>

#include "core/common/catalog.h"

namespace Kivo {
namespace {

std::atomic<StoreLibrary*> registeredLibrary{nullptr};

}  // namespace

void RegisterStoreLibrary(StoreLibrary* library) noexcept {
    registeredLibrary.store(library, std::memory_order_release);
}

}  // namespace Kivo

void KIVO_Create(const std::u16string& connectionString, Kivo::StoreCustomizer& customizer,
                 Zaph::Construction::UnitFactory& factory, std::unique_ptr<Kivo::CoreObject>& core,
                 Common::Error& error) {
    core.reset();
    Kivo::StoreLibrary* library = Kivo::registeredLibrary.load(std::memory_order_acquire);
    if (library == nullptr) {
        error = Common::Error(COMMON_PLACE("KIVO_Create"), Kivo::kStoreLibraryMissing,
                              Common::GetCatalogMessage(Common::kMsgKivoNoStoreLibrary));
        return;
    }
    error = library->Create(connectionString, customizer, factory, core);
    if (!error.IsEmpty())
        core.reset();
}

void KIVO_Delete(std::unique_ptr<Kivo::CoreObject>& core, Common::Error& error) {
    error = Common::Error();
    if (!core)
        return;
    Kivo::StoreLibrary* library = Kivo::registeredLibrary.load(std::memory_order_acquire);
    if (library == nullptr) {
        // The library that made the object is gone; dropping it is all that is left to do.
        core.reset();
        error = Common::Error(COMMON_PLACE("KIVO_Delete"), Kivo::kStoreLibraryMissing,
                              Common::GetCatalogMessage(Common::kMsgKivoStoreLibraryUnregistered));
        return;
    }
    error = library->Delete(core);
    core.reset();
}
