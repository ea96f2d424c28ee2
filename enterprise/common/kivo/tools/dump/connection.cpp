#include "enterprise/common/kivo/tools/dump/connection.h"

#include "core/common/catalog.h"
#include "core/common/text.h"
#include "enterprise/common/kivo/scoped_post_office.h"
#include "enterprise/common/security/client/init.h"
#include "platform/store/store_errors.h"

namespace KivoDump {

std::unique_ptr<Kivo::PostOffice> CreatePostOffice(const Arguments& arguments) {
    if (arguments.service == "DB") {
        std::u16string connection;
        if (!Common::Utf8ToUtf16(arguments.host, connection)) {
            throw Common::Error(COMMON_PLACE("KivoDump::CreatePostOffice"),
                                KivoStore::kBadConnectionString,
                                "KIVO: The connection string is not valid UTF-8, so it cannot "
                                "name a store.");
        }
        return Kivo::CreateScopedPostOffice(connection);
    }
    constexpr Common::SourceLocation caller = COMMON_PLACE("KivoDump::CreatePostOffice");
    Common::Error security = Security::Initialize(caller.tag);
    if (!security.IsEmpty())
        throw security;
    throw Common::Error(COMMON_PLACE("KivoDump::CreatePostOffice"), kServiceNotAvailable,
                        Common::GetCatalogMessage(Common::kMsgServiceNotAvailable));
}

}  // namespace KivoDump
