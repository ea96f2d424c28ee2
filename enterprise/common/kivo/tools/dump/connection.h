// The post office that a run of kivo_dump asks, and the connection beneath it.
//
//   "DB"                 the store opened in this process; its connection string is the host
//                        argument decoded from UTF-8 (a host that is not UTF-8 is refused: it
//                        could not name its file). No security, no credentials.
//   "QOR", "YEB", "TUK"  the service's view manager through the IPC client library: on this
//                        machine when the host is exactly "localhost" (case-sensitive), else on
//                        the host through a binder, with the user and the password
//   "KIVO"               the same, but always on this machine, whatever the host
//
// For the services other than "DB" the security library is initialised first; then the access
// point is made (CreateAccessPoint) and handed to the remote post office of the client
// (Kivo::CreateRemoteViewProvider). On this machine user and password are not used; towards a
// host they travel as UTF-16, so bytes that are not UTF-8 are refused before anything is sent
// rather than sent as replacement characters.
//
// Errors: kConnectionFailed, with the library's error as reason, when the local connection, the
// binding to the host or the connection to the service fails, or for credentials that are not
// UTF-8; kRemotePostOfficeFailed when the client's factory gives no post office. The errors of
// the store, of the security library and of the factory pass unchanged.
//
// Thread-safety: call from the main thread, inside the IPC client scope.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/ipc_client_api/access_point.h"
#include "enterprise/common/kivo/interfaces/post_office.h"
#include "enterprise/common/kivo/tools/dump/arguments.h"

namespace KivoDump {

/// Error codes of the connection.
inline constexpr uint32_t kConnectionFailed = 3;
inline constexpr uint32_t kRemotePostOfficeFailed = 4;

/// The identifiers under which the IPC client library knows the services.
inline constexpr uint32_t kManagementServerId = 33;
inline constexpr uint32_t kStorageNodeId = 34;
inline constexpr uint32_t kManagedMachineId = 35;
inline constexpr uint32_t kDataManagementId = 46;

/// The identifier of the upper-cased service keyword `service`: "YEB", "TUK" and "KIVO" their
/// own, any other word kManagementServerId.
[[nodiscard]] uint32_t ServiceId(std::string_view service);

/// A connection to the service that `arguments` name; see the file comment. Throws
/// kConnectionFailed.
[[nodiscard]] std::unique_ptr<Binding::AccessPoint> CreateAccessPoint(const Arguments& arguments);

/// The remote post office over a new connection to the service that `arguments` name. Throws the
/// errors of CreateAccessPoint and of the client's factory, or kRemotePostOfficeFailed.
[[nodiscard]] std::unique_ptr<Kivo::PostOffice> CreateRemotePostOffice(const Arguments& arguments);

/// The post office of the service that `arguments` name; see the file comment.
[[nodiscard]] std::unique_ptr<Kivo::PostOffice> CreatePostOffice(const Arguments& arguments);

}  // namespace KivoDump
