#include "platform/store/store_library.h"

#include "platform/store/post_office.h"
#include "platform/store/store.h"
#include "platform/store/store_errors.h"

namespace KivoStore {
namespace {

class StoreCore final : public Kivo::CoreObject {
  public:
    StoreCore(std::u16string connection, std::shared_ptr<Store> store)
        : connection_(std::move(connection)), store_(std::move(store)) {}
    std::u16string GetConnectionString() const override { return connection_; }
    std::unique_ptr<Kivo::PostOffice> CreatePostOffice() override {
        return CreateStorePostOffice(store_);
    }

  private:
    const std::u16string connection_;
    const std::shared_ptr<Store> store_;
};

}  // namespace

Common::Error StoreLibrary::Create(const std::u16string& connectionString,
                                   Kivo::StoreCustomizer& customizer,
                                   Zaph::Construction::UnitFactory&,
                                   std::unique_ptr<Kivo::CoreObject>& core) {
    core.reset();
    try {
        std::u16string connection = connectionString;
        if (connection.empty()) {
            const std::unique_ptr<Kivo::DbConnectionString> resolved =
                customizer.GetConnectionString();
            if (resolved != nullptr)
                connection = resolved->GetConnectionString();
        }
        OpenOptions readOnly = options_;
        readOnly.readOnly = true;
        std::shared_ptr<Kivo::CustomizableStore> customized =
            customizer.Customize(Store::Open(connection, readOnly));
        std::shared_ptr<Store> store = std::dynamic_pointer_cast<Store>(customized);
        if (store == nullptr)
            return Common::Error(COMMON_PLACE("KivoStore::StoreLibrary::Create"), kStoreUnusable,
                                 "KIVO: The store customizer returned no store of this library.");
        core = std::make_unique<StoreCore>(std::move(connection), std::move(store));
        return Common::Error();
    } catch (const Common::Error& error) {
        return error;
    }
}

Common::Error StoreLibrary::Delete(std::unique_ptr<Kivo::CoreObject>& core) {
    core.reset();
    return Common::Error();
}

ScopedStoreLibrary::ScopedStoreLibrary(const OpenOptions& options) : library_(options) {
    Kivo::RegisterStoreLibrary(&library_);
}

ScopedStoreLibrary::~ScopedStoreLibrary() {
    Kivo::RegisterStoreLibrary(nullptr);
}

}  // namespace KivoStore
