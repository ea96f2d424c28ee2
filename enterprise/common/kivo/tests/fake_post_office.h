// A post office of the tests: reports over a list of objects it is given, completing on a thread
// of its own. A subscribe reports the same way and gives no subscription.
#pragma once

#include <mutex>
#include <thread>
#include <vector>

#include "enterprise/common/kivo/interfaces/post_office.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"

namespace KivoTest {

/// See the file comment.
class FakePostOffice final : public Kivo::PostOffice {
  public:
    /// The objects every operation delivers.
    std::vector<Zaph::View::SharedUnitPtr> objects;
    /// The result every operation completes with.
    Common::Error result;
    /// The last entry point given.
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
        lastEntryPoint = entryPoint;
        std::lock_guard<std::mutex> hold(lock_);
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

}  // namespace KivoTest
