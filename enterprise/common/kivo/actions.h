// Kivo::Actions::Report and Kivo::Actions::Subscribe: a post-office operation bound into an
// Async::Action, so that the job framework (a job control, a sequence, a waiting handler) can run
// it.
//
//   Kivo::Actions::Report report(entryPoint, spec, reader, postOffice);
//   control.Run(report, &synchronizer);
//
// Each action hands the post office a ReportReaderDelegate that forwards to the caller's reader,
// and ties that delegate to the returned job, so the post office never holds the caller's reader
// itself. The caller's reader (and, for Subscribe, the subscription holder) must live until the
// job's end has been reported.
//
// Thread-safety: an action is performed by one thread at a time; the entry point and the view
// spec are copies, so the caller's may change after construction.
#pragma once

#include <memory>

#include "enterprise/common/async/action.h"
#include "enterprise/common/kivo/interfaces/post_office.h"

namespace Kivo::Actions {
namespace Detail {

/// What both actions bind: the query, the caller's reader and the post office.
class ReadAction : public Async::Action {
  protected:
    ReadAction(const Core::EntryPoint& entryPoint, const ViewSpec& spec, ReportReader& reader,
               PostOffice& postOffice);

    /// `job` extended so that it also holds the delegate; null stays null.
    std::shared_ptr<Async::Job> TieDelegate(std::shared_ptr<Async::Job> job) const;

    const Core::EntryPoint entryPoint_;
    const ViewSpec spec_;
    PostOffice& postOffice_;
    const std::shared_ptr<ReportReaderDelegate> delegate_;
};

}  // namespace Detail

/// Performs PostOffice::Report.
class Report final : public Detail::ReadAction {
  public:
    Report(const Core::EntryPoint& entryPoint, const ViewSpec& spec, ReportReader& reader,
           PostOffice& postOffice)
        : ReadAction(entryPoint, spec, reader, postOffice) {}

    std::shared_ptr<Async::Job> Perform(Async::ActionHandler& handler) override;
};

/// Performs PostOffice::Subscribe; on success `subscription` holds the new subscription.
class Subscribe final : public Detail::ReadAction {
  public:
    Subscribe(const Core::EntryPoint& entryPoint, const ViewSpec& spec, ReportReader& reader,
              std::unique_ptr<Kivo::Subscription>& subscription, PostOffice& postOffice)
        : ReadAction(entryPoint, spec, reader, postOffice), subscription_(subscription) {}

    std::shared_ptr<Async::Job> Perform(Async::ActionHandler& handler) override;

  private:
    std::unique_ptr<Kivo::Subscription>& subscription_;
};

}  // namespace Kivo::Actions
