#include "platform/resources/message_catalog.h"

#include <memory>

#include "core/common/catalog.h"
#include "platform/resources/resource_api.h"

namespace ResourceApi {

bool InstallMessageCatalog() {
    const std::unique_ptr<Module, decltype(&CloseModule)> module(OpenModule(nullptr), &CloseModule);
    if (!module) {
        return false;
    }
    const std::optional<std::vector<uint8_t>> file = LoadFile(module.get(), kMessageCatalogFile);
    return file && Common::InstallCatalogFile(file->data(), file->size());
}

}  // namespace ResourceApi
