#include "enterprise/common/kivo/tools/dump/record_text.h"

#include "enterprise/common/zaph/trace_unit.h"

namespace KivoDump {
namespace {

std::ostringstream& EmptiedThreadBuffer() {
    thread_local std::ostringstream buffer;
    buffer.str(std::string());
    buffer.clear();
    return buffer;
}

}  // namespace

RecordText::RecordText() : buffer_(EmptiedThreadBuffer()) {}

RecordText& RecordText::operator<<(std::string_view text) {
    buffer_ << text;
    return *this;
}

RecordText& RecordText::Body(const Zaph::View::Unit& unit, std::string_view prefix) {
    Zaph::Util::TraceUnit(unit, prefix, buffer_, true);
    return *this;
}

std::string RecordText::Text() const {
    return buffer_.str();
}

}  // namespace KivoDump
