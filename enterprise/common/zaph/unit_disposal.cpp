#include "enterprise/common/zaph/unit_disposal.h"

#include <new>
#include <vector>

namespace Zaph::Detail {
namespace {

// Units whose destruction was handed back while another one was being destroyed. The first
// units stay in a fixed buffer, so that destroying small trees allocates nothing.
class PendingUnits {
  public:
    // False when the list could not grow.
    bool Push(const View::Unit* unit) noexcept {
        if (inlineCount_ < kInlineCapacity) {
            inline_[inlineCount_++] = unit;
            return true;
        }
        try {
            overflow_.push_back(unit);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    // Null when the list is empty.
    const View::Unit* Pop() noexcept {
        if (!overflow_.empty()) {
            const View::Unit* unit = overflow_.back();
            overflow_.pop_back();
            return unit;
        }
        return inlineCount_ != 0 ? inline_[--inlineCount_] : nullptr;
    }

  private:
    static constexpr size_t kInlineCapacity = 32;
    const View::Unit* inline_[kInlineCapacity];
    size_t inlineCount_ = 0;
    std::vector<const View::Unit*> overflow_;
};

thread_local PendingUnits* activeList = nullptr;

}  // namespace

void DisposeUnit(const View::Unit* unit) noexcept {
    if (unit == nullptr) {
        return;
    }
    if (activeList != nullptr) {
        if (!activeList->Push(unit)) {
            // Out of memory for the list: destroy in place. This recurses once per level below,
            // the one case where depth costs stack.
            delete unit;
        }
        return;
    }
    PendingUnits pending;
    activeList = &pending;
    for (const View::Unit* next = unit; next != nullptr; next = pending.Pop()) {
        delete next;
    }
    activeList = nullptr;
}

}  // namespace Zaph::Detail
