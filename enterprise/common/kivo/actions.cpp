#include "enterprise/common/kivo/actions.h"

namespace Kivo::Actions {
namespace Detail {

ReadAction::ReadAction(const Core::EntryPoint& entryPoint, const ViewSpec& spec,
                       ReportReader& reader, PostOffice& postOffice)
    : entryPoint_(entryPoint),
      spec_(spec),
      postOffice_(postOffice),
      delegate_(std::make_shared<ReportReaderDelegate>(reader)) {}

std::shared_ptr<Async::Job> ReadAction::TieDelegate(std::shared_ptr<Async::Job> job) const {
    if (!job)
        return job;
    Async::Job* const raw = job.get();
    // The deleter owns the post office's job and the delegate: both go when the last holder of
    // the returned job lets go.
    return std::shared_ptr<Async::Job>(
        raw, [job = std::move(job), delegate = delegate_](Async::Job*) mutable {
            job.reset();
            delegate.reset();
        });
}

}  // namespace Detail

std::shared_ptr<Async::Job> Report::Perform(Async::ActionHandler& handler) {
    const Core::EntryPoint entryPoint = entryPoint_;
    return TieDelegate(postOffice_.Report(entryPoint, spec_, delegate_, handler));
}

std::shared_ptr<Async::Job> Subscribe::Perform(Async::ActionHandler& handler) {
    const Core::EntryPoint entryPoint = entryPoint_;
    return TieDelegate(postOffice_.Subscribe(entryPoint, spec_, delegate_, subscription_, handler));
}

}  // namespace Kivo::Actions
