#include "enterprise/common/zaph/match.h"

#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/nesting_guard.h"
#include "enterprise/common/zaph/value_access.h"

namespace Zaph::Util {
namespace {

using Detail::CapturedValue;

bool HasAnyTrait(const View::Unit& unit) {
    bool found = false;
    auto any = MakeProcessor<const View::Trait>([&](const View::Trait&) {
        found = true;
        return true;
    });
    unit.GetTraits().ForEach(any);
    return found;
}

// Runs the tests the pattern's traits name, in trait order, until one fails.
class TraitTests final : public ItemProcessor<const View::Trait> {
  public:
    explicit TraitTests(const View::Unit& source) : source_(source) {}

    bool Process(const View::Trait& trait) override {
        seen_ = true;
        passed_ = GetPatternByName(trait.GetName())(source_, trait.GetValue());
        return !passed_;
    }
    bool Seen() const { return seen_; }
    bool Passed() const { return passed_; }

  private:
    const View::Unit& source_;
    bool seen_ = false;
    bool passed_ = true;
};

// Each property of the pattern, in name order, must match the source's property of its name.
bool PropertiesMatch(const View::CompositeValue& source, const View::CompositeValue& pattern) {
    bool matched = true;
    auto each = MakeProcessor<const View::Property>([&](const View::Property& wanted) {
        auto compare = MakeProcessor<const View::Property>([&](const View::Property& found) {
            matched = Match(found.GetValue(), wanted.GetValue());
            return true;
        });
        if (!source.Find(wanted.GetName(), compare)) {
            matched = false;
        }
        return !matched;
    });
    pattern.ForEach(each);
    return matched;
}

}  // namespace

bool Match(const View::Unit& source, const View::Unit& pattern) {
    const Zaph::Detail::NestingGuard guard(COMMON_PLACE("Zaph::Util::Match"));
    // Both values stay valid only inside their visits, so the whole match runs in there.
    return Detail::WithValues(
        source, pattern, [&](const CapturedValue& sourceValue, const CapturedValue& patternValue) {
            if (sourceValue.index != patternValue.index) {
                return patternValue.index == TypeIndex::Nil && !HasAnyTrait(pattern);
            }
            const bool composite = patternValue.index == TypeIndex::Composite;
            TraitTests tests(source);
            pattern.GetTraits().ForEach(tests);
            if (!tests.Seen() && !composite) {
                return ValuesEqual(source, pattern);
            }
            if (!tests.Passed()) {
                return false;
            }
            return !composite || PropertiesMatch(sourceValue.As<View::CompositeValue>(),
                                                 patternValue.As<View::CompositeValue>());
        });
}

}  // namespace Zaph::Util
