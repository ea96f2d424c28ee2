// The post office that a run of kivo_dump asks: the store opened in this process for the "DB"
// service, a service's view manager for the others.
//
// "DB" opens the store whose connection string is the host argument, decoded from UTF-8 (a host
// that is not UTF-8 is refused: it could not name its file), with no security and no
// credentials. The other services first initialise the security library, then
// need the remote post office, which this build does not have yet: they end with
// kServiceNotAvailable.
//
// Thread-safety: call from the main thread, inside the IPC client scope.
#pragma once

#include <cstdint>
#include <memory>

#include "enterprise/common/kivo/interfaces/post_office.h"
#include "enterprise/common/kivo/tools/dump/arguments.h"

namespace KivoDump {

/// A remote service was asked for; this build reaches none yet. (Codes 1 to 8 are taken by the
/// tool and the text format, 9 by a query without pattern.)
inline constexpr uint32_t kServiceNotAvailable = 10;

/// The post office of the service that `arguments` name; see the file comment. Throws the
/// error of the store, of the security library, or kServiceNotAvailable.
std::unique_ptr<Kivo::PostOffice> CreatePostOffice(const Arguments& arguments);

}  // namespace KivoDump
