// The message catalogue: every user-visible text of the program, looked up by index.
//
// A catalogue is a block of bytes: u32 total length, u32 message count (kCatalogMessageCount),
// one u32 offset per message counted from the position of that offset, then the messages as
// UTF-16 texts, each ended by a 0 unit. The built-in block is generated at build time from
// core/common/messages/catalog.txt, which also fixes the indices (the `MessageId` enumerators).
//
// A catalogue file may replace the built-in block once per process (InstallCatalogFile, called
// by the program's resource layer at start). A file is outside input: it is accepted only when
// every offset and every terminator lies inside it. Texts handed out before the replacement stay
// valid: both blocks live for the whole process.
//
// Thread-safety: lookups may run on any thread, concurrently with InstallCatalogFile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/common/catalog_ids.h"

namespace Common {

/// The UTF-16 text of a message; an empty text for an index outside the catalogue.
const char16_t* GetCatalogMessage(uint32_t index);

/// True when `pointer` lies inside the current or the built-in catalogue block, whose texts live
/// for the whole process.
bool IsCatalogText(const void* pointer);

/// True when `data` is a well-formed catalogue block of `size` bytes: size even and at least the
/// header, the first word equal to the size, the count equal to kCatalogMessageCount, and every
/// message starting on a UTF-16 unit after the offset table and ending with a 0 unit inside the
/// block.
bool IsValidCatalogBlock(const void* data, size_t size);

/// Replaces the built-in catalogue by a copy of `data` when it is a valid block and no file was
/// installed before. Returns true when the copy became the current catalogue.
bool InstallCatalogFile(const void* data, size_t size);

/// The bytes of the built-in block, for tools and tests.
std::span<const uint8_t> BuiltinCatalogBlock();

}  // namespace Common
