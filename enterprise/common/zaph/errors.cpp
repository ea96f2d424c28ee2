#include "enterprise/common/zaph/errors.h"

#include <string>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/stack_walk.h"
#include "core/common/text.h"
#include "core/common/trace.h"
#include "enterprise/common/zaph/composite_iterator.h"
#include "enterprise/common/zaph/value_kind.h"

namespace Zaph {
namespace {

// The trace level of the stack logged with a type mismatch.
constexpr uint32_t kStackLogLevel = 2;
// The most frames logged with one mismatch.
constexpr uint32_t kStackLogFrames = 32;

std::u16string Format(uint32_t messageId, std::initializer_list<std::u16string_view> arguments) {
    return Common::FormatCatalogMessage(Common::GetCatalogMessage(messageId), arguments);
}

// Traces "Stack logging from '<function>'" and then one line per frame of the caller's stack.
void LogStack(const char* function) {
    Common::TraceText(0, kStackLogLevel, 0, 0,
                      Format(Common::kMsgStackLoggingFrom, {Common::WidenBytes(function)}));
    Common::WalkStack(
        [](uint32_t index, std::string_view line) {
            const std::string number = std::to_string(index);
            Common::TraceText(0, kStackLogLevel, 0, 0,
                              Format(Common::kMsgStackFrame,
                                     {Common::WidenBytes(number), Common::ToUtf16(line)}));
            return true;
        },
        Common::kStackAllParts, kStackLogFrames, 1);
}

}  // namespace

namespace Detail {

ModuleError MakeError(const Common::SourceLocation& place, uint32_t code, uint32_t messageId,
                      std::initializer_list<std::u16string_view> arguments) {
    if (arguments.size() == 0) {
        // A catalogue text is referenced by the error, not copied.
        return ModuleError(Common::Error(place, code, Common::GetCatalogMessage(messageId)));
    }
    return ModuleError(Common::Error(place, code, Format(messageId, arguments)));
}

void ThrowNullUnit(const Common::SourceLocation& place) {
    throw MakeError(place, Errors::kNullUnit, Common::kMsgZaphNullUnit);
}

void ThrowOutOfRange(const Common::SourceLocation& place) {
    throw MakeError(place, Errors::kOutOfRange, Common::kMsgZaphOutOfRange);
}

}  // namespace Detail

void ThrowIteratorPastEnd() {
    Detail::ThrowOutOfRange(COMMON_PLACE("Zaph::CompositeIterator::Current"));
}

namespace Errors {

ModuleError UnitMissingPropertyAccess(std::u16string_view path) {
    return Detail::MakeError(COMMON_PLACE("Zaph::Errors::UnitMissingPropertyAccess"), kGeneral,
                             Common::kMsgZaphMissingPropertyAccess, {path});
}

}  // namespace Errors

namespace Util::Detail {

using Zaph::Detail::MakeError;

ModuleError MakeTypeMismatchError(uint32_t expected, uint32_t actual) {
    LogStack("Zaph::Util::Detail::MakeTypeMismatchError");
    return MakeError(COMMON_PLACE("Zaph::Util::Detail::MakeTypeMismatchError"),
                     Errors::kTypeMismatch, Common::kMsgZaphTypeMismatch,
                     {MessageTypeName(expected), MessageTypeName(actual)});
}

ModuleError MakeTypeMismatchError() {
    LogStack("Zaph::Util::Detail::MakeTypeMismatchError");
    return MakeError(COMMON_PLACE("Zaph::Util::Detail::MakeTypeMismatchError"),
                     Errors::kTypeMismatch, Common::kMsgZaphStructureMismatch);
}

ModuleError MakePropertyTypeMismatchError(std::u16string_view path, uint32_t expected,
                                          uint32_t actual) {
    LogStack("Zaph::Util::Detail::MakePropertyTypeMismatchError");
    return MakeError(COMMON_PLACE("Zaph::Util::Detail::MakePropertyTypeMismatchError"),
                     Errors::kTypeMismatch, Common::kMsgZaphPropertyTypeMismatch,
                     {path, MessageTypeName(expected), MessageTypeName(actual)});
}

}  // namespace Util::Detail
}  // namespace Zaph
