#include "enterprise/common/kivo/tools/dump/record_text.h"

#include "enterprise/common/zaph/trace_unit.h"

namespace KivoDump {
namespace {

// A buffer grown past this by a large record is given back rather than kept for the thread.
constexpr size_t kKeptCapacity = 1 << 20;

std::string& EmptiedThreadBuffer() {
    thread_local std::string buffer;
    if (buffer.capacity() > kKeptCapacity) {
        buffer = std::string();
    }
    buffer.clear();
    return buffer;
}

}  // namespace

RecordText::RecordText() : buffer_(EmptiedThreadBuffer()) {}

RecordText& RecordText::operator<<(std::string_view text) {
    buffer_ += text;
    return *this;
}

RecordText& RecordText::Body(const Zaph::View::Unit& unit, std::string_view prefix) {
    Zaph::Util::TraceUnit(unit, prefix, buffer_, true);
    return *this;
}

}  // namespace KivoDump
