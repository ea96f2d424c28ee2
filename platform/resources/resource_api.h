// The resource layer: finds and reads the resource files that belong to a program.
//
// A module stands for one program file. Its resource files are looked for, by plain file name,
// first in the directory named by the environment variable KIVO_MESSAGES_DIR (when set and not
// empty, read when the module is opened), then in the installed data folder share/kivo beside the
// program's folder (P/share/kivo for a program in P/bin or P/sbin), and last in the directory of
// the program file. The first regular file found is the one read. Files are outside input: anything
// larger than kResourceFileLimit is not read.
//
// Language-change events have no counterpart on this platform: subscribing succeeds and nothing
// is ever delivered, so resources are read once.
//
// Thread-safety: modules may be used from any thread; a module must not be closed while it is in
// use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace ResourceApi {

/// The largest resource file read.
inline constexpr size_t kResourceFileLimit = 4 * 1024 * 1024;

/// An open module (opaque).
struct Module;

/// Opens the module of the program file `path`; null `path` means the running program. Returns
/// null when the program file cannot be resolved.
Module* OpenModule(const char* path);

/// Closes a module from OpenModule; null is allowed.
void CloseModule(Module* module);

/// The bytes of the resource file `name` (a plain file name) of `module`; nothing when no
/// readable regular file of that name within the size limit is found.
std::optional<std::vector<uint8_t>> LoadFile(const Module* module, std::string_view name);

/// Called when the user's language changes (never, on this platform).
using LanguageEventCallback = void (*)(void* context);

/// Subscribes to language-change events; returns the subscription to unsubscribe.
uint32_t SubscribeLanguageEvents(LanguageEventCallback callback, void* context);

/// Ends a subscription.
void UnsubscribeLanguageEvents(uint32_t subscription);

}  // namespace ResourceApi
