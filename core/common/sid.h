// The text form of a security identifier, read from the identifier's bytes.
//
// Byte layout: revision (1 byte, must be 1), sub-authority count (1 byte, at most 15), the
// identifier authority (6 bytes, big-endian), then the sub-authorities (4 bytes each,
// little-endian). Text: "S-1-", the authority, then "-" and each sub-authority in decimal. The
// authority is written in decimal when its first two bytes are zero (the usual case: "S-1-5-18"
// for the local system) and otherwise as all six bytes in lower-case hexadecimal after "0x".
//
// Thread-safety: a pure function (it sets errno on failure, which is per thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace Common {

/// The most sub-authorities a security identifier holds.
inline constexpr size_t kMaxSidSubAuthorities = 15;

/// Sets `text` to the text form of the identifier at the start of `sid`; bytes after the
/// identifier are ignored. An invalid identifier (bad revision, too many sub-authorities, fewer
/// bytes than it declares) sets errno to EINVAL and returns false, leaving `text` as it was.
bool SidToText(std::span<const uint8_t> sid, std::u16string& text);

}  // namespace Common
