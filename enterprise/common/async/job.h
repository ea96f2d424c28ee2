// Jobs: the running work of an operation, and what describes it when it fails.
//
// A job ends exactly once by reporting to its action handler (action.h). Cancel asks it to end
// early; it still reports exactly once, normally with the canceled error (error/cached_error.h).
// Cancel may be called any number of times, from any thread, also after the job ended.
//
// A descriptive entity names an operation. When a job control (job_control.h) is given one, a
// failure of its job is wrapped in an error of code kJobDescriptionError that carries the
// entity's text and place, with the failure as its reason.
//
// Thread-safety: GetId and Describe are safe from any thread; Cancel as above.
#pragma once

#include <cstdint>
#include <string>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "core/common/source_location.h"

namespace Async {

/// Code of the error that a job description becomes.
inline constexpr uint32_t kJobDescriptionError = 0xF90004;

/// What an operation is: where it was written and what it does.
struct JobDescription {
    Common::SourceLocation place;
    std::u16string text;

    /// The error of code kJobDescriptionError at `place` with `text` as its message.
    Common::Error ToError() const;
};

/// Something that can say which operation it is.
class DescriptiveEntity : private Common::NonCopyable {
  public:
    virtual ~DescriptiveEntity() = default;
    /// Names the operation. May throw Common::Error when it cannot.
    virtual JobDescription Describe() const = 0;
};

/// The running work of one operation.
class Job : public DescriptiveEntity {
  public:
    /// A number that tells jobs apart in traces.
    virtual uint32_t GetId() const = 0;
    /// Asks the job to end early; see the file comment.
    virtual void Cancel() = 0;
};

/// A job with an id from the process-wide job counter (the first job gets 1) and the description
/// "ASYNC: Unidentified job.". Cancel is left to the derived job.
class BaseJob : public Job {
  public:
    BaseJob();

    JobDescription Describe() const override;
    uint32_t GetId() const override { return id_; }

  private:
    const uint32_t id_;
};

}  // namespace Async
