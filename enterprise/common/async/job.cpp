#include "enterprise/common/async/job.h"

#include <atomic>

#include "core/common/catalog.h"

namespace Async {
namespace {

std::atomic<uint32_t> nextJobId{1};

}  // namespace

Common::Error JobDescription::ToError() const {
    return Common::Error(place, kJobDescriptionError, std::u16string_view(text));
}

BaseJob::BaseJob() : id_(nextJobId.fetch_add(1, std::memory_order_relaxed)) {}

JobDescription BaseJob::Describe() const {
    return {COMMON_PLACE("Async::BaseJob::Describe"),
            Common::GetCatalogMessage(Common::kMsgAsyncUnidentifiedJob)};
}

}  // namespace Async
