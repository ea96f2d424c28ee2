// Installing the message catalogue file of the program.
//
// The catalogue file "kivo_dump.msg" is read through the resource layer (resource_api.h: the
// directory named by KIVO_MESSAGES_DIR, then share/kivo of the installed tree, then the program's
// own directory) and replaces the built-in catalogue when it is a well-formed catalogue block
// (core/common/catalog.h). Any fault leaves the built-in catalogue in place. The catalogue is
// loaded once per process.
//
// Programs call InstallMessageCatalog at start, before any message is looked up, so that all
// their texts come from one catalogue.
//
// Thread-safety: safe from any thread; only the first accepted file is installed.
#pragma once

namespace ResourceApi {

/// The name of the catalogue file.
inline constexpr const char* kMessageCatalogFile = "kivo_dump.msg";

/// Loads and installs the catalogue file; true when it replaced the built-in catalogue.
bool InstallMessageCatalog();

}  // namespace ResourceApi
