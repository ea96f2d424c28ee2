// The tool's console output: everything it prints, records and error texts alike, goes to
// standard output, a line or a whole record at a time, each ended by a line feed. A record is
// never cut: what reaches the output is always a sequence of whole records and lines.
//
// Two modes, the same bytes in both:
//   - record by record (the mode a run starts in): each line or record is written and flushed
//     as soon as it is complete, so that a person at a terminal, or a pipe reader following a
//     listen, sees every record at once;
//   - blocks (reports to a file or a pipe): records gather in a buffer, written out whenever it
//     holds kOutputBlockSize bytes or more, and by CheckStandardOutput or a change of mode. A
//     report of many small records then costs a write per block rather than one per record.
//
// The first write that fails (a closed pipe, a full disk) is remembered with its system error,
// and nothing is written after it; CheckStandardOutput then reports it, and the run ends with
// kOutputFailed. SIGPIPE is ignored by the program (core/common/standard_streams.h), so a closed
// pipe is such a failure (EPIPE) rather than the end of the process. Whoever must stop at once
// when that happens (listening, which would otherwise go on reading changes nobody sees) sets an
// output failure listener.
//
// Thread-safety: lines and records from different threads do not interleave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "core/common/error/error.h"

namespace KivoDump {

/// How complete records reach standard output (file comment).
enum class OutputMode { kRecordByRecord, kBlocks };

/// The least number of bytes that blocks mode writes at a time.
inline constexpr size_t kOutputBlockSize = 64 * 1024;

/// Sets the mode; leaving blocks mode first writes out what is buffered.
void SetOutputMode(OutputMode mode);

/// The mode for a report: record by record when standard output is a terminal, blocks otherwise.
[[nodiscard]] OutputMode ReportOutputMode();

/// Writes `text` and a line feed to standard output (flushed as the mode says).
void WriteLine(std::string_view text);

/// Writes `text` as UTF-8, then a line feed (flushed as the mode says).
void WriteLine(std::u16string_view text);

/// Writes `lines` (whole lines, each already ended by a line feed) as one piece, flushed as the
/// mode says: a record of many lines never interleaves with other output.
void WriteLines(std::string_view lines);

/// A tool error code: standard output could not be written (a full disk, a closed pipe).
inline constexpr uint32_t kOutputFailed = 11;

/// Sets the one listener that hears the first failed write, replacing the previous one (an empty
/// function: none). It is called once, on the thread of that write, or at once by this call when
/// a write has already failed. It runs under the stream's lock: it must not write to standard
/// output, and should only signal. Once this call returns, the previous listener runs no more.
void SetOutputFailureListener(std::function<void()> listener);

/// Writes out what is buffered and flushes standard output; kOutputFailed, with the system's error
/// of the first failed write as reason, when anything written to it so far was lost. Empty
/// otherwise.
[[nodiscard]] Common::Error CheckStandardOutput();

}  // namespace KivoDump
