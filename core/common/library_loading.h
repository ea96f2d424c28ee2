// Loading libraries at run time, with failures raised as Common::Error.
//
// Nothing of the program is loaded at run time today; these are the hooks a loader uses so that
// a missing library or function ends in an error of the library-loading codes:
//
//   0x140FA1  the library could not be loaded             field "path"
//   0x140FA2  a function imported by name was not found   fields "path", "function"
//   0x140FA3  a function imported by ordinal was not found (reserved: shared objects here have
//             no ordinals)
//
// The reason of each error is a record of code kSystemCodeError whose message is the loader's
// own text (dlerror), for example "libx.so: cannot open shared object file: ...".
//
// Thread-safety: safe from any thread; the loader's error text is per thread.
#pragma once

#include <cstdint>

namespace Common {

inline constexpr uint32_t kLibraryNotLoaded = 0x140FA1;
inline constexpr uint32_t kLibraryFunctionNotFound = 0x140FA2;
inline constexpr uint32_t kLibraryOrdinalNotFound = 0x140FA3;

/// Opens the library `path` (resolving every symbol now, keeping them local); throws the error of
/// code kLibraryNotLoaded when that fails. The handle is never null.
void* LoadLibrary(const char* path);

/// The address of `function` in `library`, opened from `path`; throws the error of code
/// kLibraryFunctionNotFound when the library has no such symbol.
void* FindLibraryFunction(void* library, const char* path, const char* function);

}  // namespace Common
