// The readers that receive objects from a post office.
//
// Kivo::ReportReader hears the objects of a report (and the objects that match when a
// subscription starts); Kivo::SubscriptionReader hears the changes that a subscription reads.
// Each has overloads for shared read-only units and for owned units under construction; the
// latter publish the unit read-only and call the former, so implementations override only the
// shared-unit overloads.
//
// A reader may throw Common::Error from any call; whoever delivers catches it, traces it and
// goes on with the next item (see safe_invoke.h). Thread-safety: readers are called on the
// threads that complete the post office's work, one call at a time per operation.
#pragma once

#include "core/common/noncopyable.h"
#include "enterprise/common/zaph/construction.h"
#include "enterprise/common/zaph/view.h"

namespace Kivo {

/// Receives the objects of a report.
class ReportReader : private Common::NonCopyable {
  public:
    virtual ~ReportReader() = default;
    /// One object.
    virtual void OnObject(const Zaph::View::SharedUnitPtr& object) = 0;
    /// One object under construction: published read-only, then given to the overload above.
    virtual void OnObject(Zaph::Construction::UnitPtr object);
};

/// Receives the changes that a subscription reads.
class SubscriptionReader : private Common::NonCopyable {
  public:
    virtual ~SubscriptionReader() = default;
    /// An object was created; `object` is the whole object.
    virtual void OnCreated(const Zaph::View::SharedUnitPtr& object) = 0;
    /// The object that `key` names changed; `diff` holds the changes.
    virtual void OnUpdated(const Zaph::View::SharedUnitPtr& key,
                           const Zaph::View::SharedUnitPtr& diff) = 0;
    /// The object that `key` names was deleted.
    virtual void OnDeleted(const Zaph::View::SharedUnitPtr& key) = 0;

    /// The same three for units under construction: published read-only, then passed on.
    virtual void OnCreated(Zaph::Construction::UnitPtr object);
    virtual void OnUpdated(Zaph::Construction::UnitPtr key, Zaph::Construction::UnitPtr diff);
    virtual void OnDeleted(Zaph::Construction::UnitPtr key);
};

/// Forwards objects to a reader that it does not own. The actions hand one to the post office,
/// so that the post office holds a reader whose lifetime the action controls.
class ReportReaderDelegate : public ReportReader {
  public:
    explicit ReportReaderDelegate(ReportReader& target) : target_(&target) {}
    using ReportReader::OnObject;
    void OnObject(const Zaph::View::SharedUnitPtr& object) override { target_->OnObject(object); }

  private:
    ReportReader* target_;
};

}  // namespace Kivo
