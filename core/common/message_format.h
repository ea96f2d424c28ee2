// Filling the numbered placeholders of catalogue messages.
//
// A placeholder is "{", one or more decimal digits and "}"; the digits (the first 63 of them)
// give the index of the argument that replaces it. Placeholders are filled from left to right;
// the text inserted for one is never searched again, so an argument that itself contains "{0}"
// stays as it is. The first placeholder whose index has no argument ends the filling: it and
// everything after it stay unchanged. Choice forms ("{0, choice, ...}") are not placeholders
// and stay as written.
//
//   FormatCatalogMessage(u"'{0}' is not '{1}' ({0})", {u"a"})  ->  u"'a' is not '{1}' ({0})"
//
// Thread-safety: pure function.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace Common {

/// `text` with its placeholders replaced by `arguments` (see the file comment).
std::u16string FormatCatalogMessage(std::u16string_view text,
                                    std::span<const std::u16string_view> arguments);

/// The same for an argument list written at the call.
std::u16string FormatCatalogMessage(std::u16string_view text,
                                    std::initializer_list<std::u16string_view> arguments);

}  // namespace Common
