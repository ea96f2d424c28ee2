// KivoDump::RecordText: one record of the tool's output, composed whole in memory before anything
// of it is written, so that a record that fails half-way (an object without key, a unit too deep
// to print) leaves nothing behind, and the composed record goes out in one WriteLines.
//
//   RecordText record;
//   record << "<object id=\"" << id << "\">\n";
//   record.Body(*object, "  ");
//   record << "</object>\n\n";
//   WriteLines(record.Text());
//
// A body is the trace printout of a unit (zaph/trace_unit.h), named "Root", with the prefix in
// front of every line and a line feed after each.
//
// Thread-safety: a record composes in its thread's own buffer, emptied when the record is made,
// so that a report of many records reuses one allocation; one record at a time per thread.
#pragma once

#include <string>
#include <string_view>

#include "core/common/noncopyable.h"
#include "enterprise/common/zaph/view.h"

namespace KivoDump {

/// See the file comment.
class RecordText : private Common::NonCopyable {
  public:
    /// An empty record.
    RecordText();

    /// Appends `text` as it is.
    RecordText& operator<<(std::string_view text);

    /// Appends the body of `unit`, `prefix` in front of every line. Throws the printout's error.
    RecordText& Body(const Zaph::View::Unit& unit, std::string_view prefix);

    /// The record composed so far; valid until the record is destroyed or appended to.
    [[nodiscard]] std::string_view Text() const { return buffer_; }

  private:
    std::string& buffer_;
};

}  // namespace KivoDump
