// The Keys of a subscriber's updates: every Key names the interest it belongs to with the trait
// "ChannelID" (a DWord, the interest number) on its root, the whole object of a creation
// included, so that the client can route it to its channel.
//
// MarkChannel shows a Key with that trait without copying it: the Key's own traits, except any
// "ChannelID" an object may carry itself (a client would take two for none), then the channel's.
// ChannelMarker makes the update that ends an interest: its Key is the error value, with the
// traits "ChannelID" and "ChannelError" (the interest failed) or "ChannelRemoval" (the service
// ended it), and it has no PackedUpdate.
//
// Thread-safety: the units made are read-only and may be shared between threads.
#pragma once

#include <cstdint>

#include "enterprise/common/ipc/view_manager/records.h"

namespace KivoService {

/// The marker trait of a failed interest.
inline constexpr const char* kChannelError = "ChannelError";
/// The marker trait of an interest that the service ended.
inline constexpr const char* kChannelRemoval = "ChannelRemoval";

/// `key` (not null) as a Key of interest `interest`; see the file comment.
[[nodiscard]] Zaph::View::SharedUnitPtr MarkChannel(Zaph::View::SharedUnitPtr key,
                                                    uint32_t interest);

/// The update that ends interest `interest` with `error`; `marker` is kChannelError or
/// kChannelRemoval.
[[nodiscard]] Kivo::ViewManagement::ViewUpdate ChannelMarker(uint32_t interest, const char* marker,
                                                             const Common::Error& error);

}  // namespace KivoService
