// Base64 with the standard alphabet (A-Z a-z 0-9 + /) and '=' padding.
//
// Encoding writes n bytes as (n + 2) / 3 * 4 characters on one line.
// Decoding skips tab, line feed, carriage return and blank anywhere. It accepts input with or
// without the final padding. It fails, returning false and leaving `out` unspecified, on any
// other character outside the alphabet, on a '=' followed by anything but '=' and blanks, on more
// than two '=' or padding inside a group where it cannot stand, and on a last group of a single
// character (which cannot encode a byte).
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Common {

/// Appends the base64 text of `length` bytes to `out`.
void Base64Encode(const void* data, size_t length, std::string& out);

/// Decodes base64 `text`, appending the bytes to `out`. Returns false on invalid input.
bool Base64Decode(std::string_view text, std::vector<uint8_t>& out);

/// The same for UTF-16 text (units above 0x7F are invalid).
bool Base64Decode(std::u16string_view text, std::vector<uint8_t>& out);

}  // namespace Common
