// Kivo::SynchronousDataStore: a report run to its end on the calling thread.
//
//   Kivo::SynchronousDataStore store(postOffice, factory);
//   store.Report(entryPoint, spec, reader);   // returns when every object reached `reader`
//
// Report runs Kivo::Actions::Report under a job control and blocks on a waiting handler; the
// reader is called on the threads that complete the post office's work meanwhile. A report that
// fails throws its error; a store made without a post office throws kUnproperUse.
//
// Thread-safety: Report may run on several threads at once when the post office allows it; the
// post office and the factory must outlive the store.
#pragma once

#include <cstdint>

#include "enterprise/common/kivo/interfaces/post_office.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace Kivo {

/// A required collaborator was not given: "KIVO: Unproper use. Missing {0}."
inline constexpr uint32_t kUnproperUse = 0xFC0031;

/// See the file comment.
class SynchronousDataStore {
  public:
    /// `postOffice` may be null; Report then throws kUnproperUse.
    SynchronousDataStore(PostOffice* postOffice, Zaph::Construction::UnitFactory& factory)
        : postOffice_(postOffice), factory_(factory) {}

    /// Gives every object that `spec` selects to `reader`; throws the report's failure.
    void Report(const Core::EntryPoint& entryPoint, const ViewSpec& spec, ReportReader& reader);

    Zaph::Construction::UnitFactory& Factory() const { return factory_; }

  private:
    PostOffice* const postOffice_;
    Zaph::Construction::UnitFactory& factory_;
};

}  // namespace Kivo
