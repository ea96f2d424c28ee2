#include "enterprise/common/kivo/tools/dump/connection.h"

#include "core/common/catalog.h"
#include "enterprise/common/kivo/scoped_post_office.h"
#include "enterprise/common/security/client/init.h"
#include "platform/store/connection.h"

namespace KivoDump {

std::unique_ptr<Kivo::PostOffice> CreatePostOffice(const Arguments& arguments) {
    if (arguments.service == "DB") {
        return Kivo::CreateScopedPostOffice(KivoStore::DecodeConnectionString(arguments.host));
    }
    constexpr Common::SourceLocation caller = COMMON_PLACE("KivoDump::CreatePostOffice");
    Common::Error security = Security::Initialize(caller.tag);
    if (!security.IsEmpty())
        throw security;
    throw Common::Error(COMMON_PLACE("KivoDump::CreatePostOffice"), kServiceNotAvailable,
                        Common::GetCatalogMessage(Common::kMsgServiceNotAvailable));
}

}  // namespace KivoDump
