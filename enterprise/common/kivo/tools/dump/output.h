// The tool's console output: everything it prints, records and error texts alike, goes to
// standard output one line at a time, each line ended by a line feed and a flush, so that a
// reader of a pipe sees every record as soon as it is complete.
//
// Thread-safety: lines from different threads do not interleave within a line.
#pragma once

#include <string_view>

namespace KivoDump {

/// Writes `text` and a line feed to standard output and flushes.
void WriteLine(std::string_view text);

/// Writes `text` as UTF-8, then a line feed, and flushes.
void WriteLine(std::u16string_view text);

/// Writes `lines` (whole lines, each already ended by a line feed) as one piece and flushes once:
/// a record of many lines costs one flush and never interleaves with other output.
void WriteLines(std::string_view lines);

}  // namespace KivoDump
