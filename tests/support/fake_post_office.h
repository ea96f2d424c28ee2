// KivoTestSupport::FakePostOffice: reports the objects it is given, completing on a thread of its
// own with the result it is given; a subscribe reports the same way and gives no subscription.
//
// Thread-safety: set the fields before the operations; the object joins its threads when it goes.
#pragma once

#include <mutex>
#include <thread>
#include <vector>

#include "enterprise/common/kivo/interfaces/post_office.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"

namespace KivoTestSupport {

/// See the file comment.
class FakePostOffice final : public Kivo::PostOffice {
  public:
    /// What every operation delivers and completes with; the last entry point given.
    std::vector<Zaph::View::SharedUnitPtr> objects;
    Common::Error result;
    Core::EntryPoint lastEntryPoint;

    ~FakePostOffice() override {
        for (std::thread& thread : threads_)
            thread.join();
    }
    std::shared_ptr<Async::Job> Subscribe(const Core::EntryPoint& entryPoint,
                                          const Kivo::ViewSpec& spec,
                                          const std::shared_ptr<Kivo::ReportReader>& reader,
                                          std::unique_ptr<Kivo::Subscription>&,
                                          Async::ActionHandler& handler) override {
        return Report(entryPoint, spec, reader, handler);
    }
    std::shared_ptr<Async::Job> Report(const Core::EntryPoint& entryPoint, const Kivo::ViewSpec&,
                                       const std::shared_ptr<Kivo::ReportReader>& reader,
                                       Async::ActionHandler& handler) override {
        std::lock_guard<std::mutex> hold(lock_);
        lastEntryPoint = entryPoint;
        threads_.emplace_back([this, reader, &handler] {
            Kivo::Detail::DeliverObjects(*reader, objects);
            handler.Completed(result);
        });
        return nullptr;
    }

  private:
    std::mutex lock_;
    std::vector<std::thread> threads_;
};

}  // namespace KivoTestSupport
