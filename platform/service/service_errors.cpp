#include "platform/service/service_errors.h"

namespace KivoService {

Common::Error ServiceStopping(const Common::SourceLocation& place) {
    return Common::Error(place, kServiceStopping, "KIVO: The service is stopping.");
}

}  // namespace KivoService
