// The text escaping of the packet writer (see xml_packet_serializer.h for the rules).
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace Serialization::Detail {

/// Where an escaped text stands: element content may become CDATA, an attribute value may not.
enum class TextPlace { Content, Attribute };

/// Appends narrow `text` (code points 0 to 255, one per byte) escaped, in UTF-8.
void AppendEscaped(std::string_view text, TextPlace place, std::string& out);

/// Appends UTF-16 `text` escaped, in UTF-8.
void AppendEscaped(std::u16string_view text, TextPlace place, std::string& out);

}  // namespace Serialization::Detail
