#include "enterprise/common/zaph/wildcard.h"

#include <cstddef>

namespace Zaph::Util {
namespace {

constexpr char16_t kAnyRun = u'%';
constexpr char16_t kAnyUnit = u'_';
constexpr size_t kNone = static_cast<size_t>(-1);

}  // namespace

bool MatchWildcard(std::u16string_view text, std::u16string_view wildcard, uint64_t* steps) {
    uint64_t count = 0;
    bool matched = true;
    if (!wildcard.empty()) {
        size_t w = 0;
        size_t t = 0;
        // The last '%' met and the text position its run currently ends at.
        size_t star = kNone;
        size_t resume = 0;
        // Each pass either advances through both texts, records a '%', or lets the last '%'
        // take one more code unit; `resume` only grows, so the passes between two retries are
        // bounded by the wildcard's length.
        while (t < text.size()) {
            ++count;
            if (w < wildcard.size() && wildcard[w] == kAnyRun) {
                star = w++;
                resume = t;
            } else if (w < wildcard.size() && (wildcard[w] == kAnyUnit || wildcard[w] == text[t])) {
                ++w;
                ++t;
            } else if (star != kNone) {
                w = star + 1;
                t = ++resume;
            } else {
                matched = false;
                break;
            }
        }
        // The text is used up: only '%' may remain in the wildcard.
        while (matched && w < wildcard.size()) {
            ++count;
            matched = wildcard[w++] == kAnyRun;
        }
    }
    if (steps != nullptr) {
        *steps = count;
    }
    return matched;
}

}  // namespace Zaph::Util
