#include "enterprise/common/async/operation_description.h"

#include <exception>
#include <string>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"

namespace Async {
namespace {

constexpr Common::ErrorFieldType kTraceLevelTypes[] = {Common::ErrorFieldType::Number};
constexpr Common::ErrorFieldKind kTraceLevelKind{"TraceLevel,$module", kTraceLevelTypes, 1};
constexpr int64_t kOperationErrorTraceLevel = 1;

uint32_t MessageOf(uint32_t code) {
    switch (code) {
        case kExceptionDuringOperation:
            return Common::kMsgAsyncExceptionDuring;
        case kStdExceptionDuringOperation:
            return Common::kMsgAsyncStdExceptionDuring;
        default:
            return Common::kMsgAsyncUnknownExceptionDuring;
    }
}

}  // namespace

// Describing must not fail in turn, so whatever a description throws ends here: the fallbacks
// are the thrown error itself and the out-of-memory error, the usual cause of such a failure.
Common::Error SafeOperationDescription::DescribeException(
    const Common::Error& error) const noexcept {
    try {
        return wrapped_.DescribeException(error);
    } catch (...) {
        return error;
    }
}

Common::Error SafeOperationDescription::DescribeStdException(std::string_view text) const noexcept {
    try {
        return wrapped_.DescribeStdException(text);
    } catch (...) {
        return Common::Error(COMMON_PLACE("Async::SafeOperationDescription::DescribeStdException"),
                             Common::kOutOfMemoryError);
    }
}

Common::Error SafeOperationDescription::DescribeUnknownException() const noexcept {
    try {
        return wrapped_.DescribeUnknownException();
    } catch (...) {
        return Common::Error(
            COMMON_PLACE("Async::SafeOperationDescription::DescribeUnknownException"),
            Common::kOutOfMemoryError);
    }
}

Common::Error DescribeCurrentException(const OperationDescription& description) noexcept {
    const SafeOperationDescription safe(description);
    try {
        throw;
    } catch (const Common::Error& error) {
        return safe.DescribeException(error);
    } catch (const std::exception& exception) {
        return safe.DescribeStdException(exception.what());
    } catch (...) {
        return safe.DescribeUnknownException();
    }
}

Common::Error MakeOperationExceptionError(const Common::SourceLocation& place, uint32_t code,
                                          std::u16string_view operation,
                                          const Common::Error& reason, std::string_view text) {
    const std::u16string wideText = Common::ToUtf16(text);
    const std::u16string message = Common::FormatCatalogMessage(
        Common::GetCatalogMessage(MessageOf(code)), {operation, wideText});
    Common::Error error(place, code, kTraceLevelKind, message, {kOperationErrorTraceLevel});
    if (!reason.IsEmpty()) {
        error.Add(reason);
    }
    return error;
}

}  // namespace Async
