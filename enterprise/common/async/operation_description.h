// Turning an exception caught around an operation into a Common::Error.
//
// An operation description builds the error for each kind of exception: a thrown Common::Error,
// a standard exception (its what() text), or anything else. DescribeCurrentException, called
// inside a catch block, rethrows the exception being handled to sort it, and asks the
// description through a SafeOperationDescription, so that describing never throws: a description
// that throws yields the thrown Common::Error itself, or the out-of-memory error for the other
// two kinds.
//
// The errors of an operation that threw are wide-message records of the kind "TraceLevel,$module"
// (trace level 1):
//   kExceptionDuringOperation         "ASYNC: Exception has occurred during operation '{0}'."
//                                      the thrown error is its reason
//   kStdExceptionDuringOperation      "ASYNC: STD exception '{1}' has occurred during operation
//                                      '{0}'."
//   kUnknownExceptionDuringOperation  "ASYNC: Unknown exception has occurred during operation
//                                      '{0}'."
// where {0} names the operation and {1} is the standard exception's text.
//
// Thread-safety: descriptions are immutable; everything here may run on any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "core/common/source_location.h"

namespace Async {

inline constexpr uint32_t kExceptionDuringOperation = 0xF90006;
inline constexpr uint32_t kStdExceptionDuringOperation = 0xF90007;
inline constexpr uint32_t kUnknownExceptionDuringOperation = 0xF90008;

/// Builds the error for each kind of exception thrown by one operation.
class OperationDescription : private Common::NonCopyable {
  public:
    virtual ~OperationDescription() = default;
    virtual Common::Error DescribeException(const Common::Error& error) const = 0;
    /// `text` is the exception's what(), UTF-8.
    virtual Common::Error DescribeStdException(std::string_view text) const = 0;
    virtual Common::Error DescribeUnknownException() const = 0;
};

/// Forwards to a wrapped description and never lets an exception out (see the file comment).
class SafeOperationDescription final : public OperationDescription {
  public:
    explicit SafeOperationDescription(const OperationDescription& wrapped) : wrapped_(wrapped) {}

    Common::Error DescribeException(const Common::Error& error) const noexcept override;
    Common::Error DescribeStdException(std::string_view text) const noexcept override;
    Common::Error DescribeUnknownException() const noexcept override;

  private:
    const OperationDescription& wrapped_;
};

/// Describes the exception being handled; call only inside a catch block.
Common::Error DescribeCurrentException(const OperationDescription& description) noexcept;

/// The error of `code` (one of the three above) at `place` for the operation named `operation`;
/// `reason` becomes its reason, `text` fills {1}.
Common::Error MakeOperationExceptionError(const Common::SourceLocation& place, uint32_t code,
                                          std::u16string_view operation,
                                          const Common::Error& reason = {},
                                          std::string_view text = {});

}  // namespace Async
