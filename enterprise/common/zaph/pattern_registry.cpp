#include "enterprise/common/zaph/pattern_registry.h"

#include <algorithm>
#include <array>
#include <memory>

#include "core/common/catalog.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/data_accessor.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/match.h"
#include "enterprise/common/zaph/unit_utilities.h"
#include "enterprise/common/zaph/value_access.h"
#include "enterprise/common/zaph/wildcard.h"

namespace Zaph::Util {
namespace {

using Detail::CapturedValue;

[[noreturn]] void ThrowStructureMismatch(const Common::SourceLocation& place) {
    throw Zaph::Detail::MakeError(place, Errors::kPatternError, Common::kMsgZaphStructureMismatch);
}

// Calls `function` with the unit's String value, or with null when it holds another kind. The
// value is read inside the unit's visit, where it is sure to be alive.
template <class F>
bool WithString(const View::Unit& unit, F&& function) {
    return Detail::WithValue(unit, [&](const CapturedValue& value) -> bool {
        return function(value.index == TypeIndex::String
                            ? &value.As<View::ComplexValue<String>>().GetValue()
                            : nullptr);
    });
}

// True when `unit` is an array holding an element for which `predicate` holds.
template <class P>
bool AnyElement(const View::Unit& unit, P&& predicate) {
    return Detail::WithValue(unit, [&](const CapturedValue& value) {
        if (value.index != TypeIndex::Array) {
            return false;
        }
        bool found = false;
        auto test = MakeProcessor<const View::Unit>([&](const View::Unit& element) {
            found = predicate(element);
            return found;
        });
        value.As<View::ArrayValue>().ForEach(test);
        return found;
    });
}

bool SameKind(const View::Unit& source, const View::Unit& argument) {
    return GetTypeIndex(source) == GetTypeIndex(argument);
}

// The tests, named as they are registered.
namespace Patterns {

bool AnyValue(const View::Unit&, const View::Unit&) {
    return true;
}

bool Between(const View::Unit& source, const View::Unit& argument) {
    // The accessor quotes the argument when From or To is missing. It shares no ownership: the
    // argument outlives this call.
    const ConstDataAccessor range(
        std::shared_ptr<const View::Unit>(std::shared_ptr<void>(), &argument));
    const View::Unit& from = range[Name::Literal("From")].GetUnit();
    const View::Unit& to = range[Name::Literal("To")].GetUnit();
    const uint32_t kind = GetTypeIndex(to);
    if (GetTypeIndex(from) != kind) {
        throw Zaph::Detail::MakeError(COMMON_PLACE("Zaph::Util::Patterns::Between"),
                                      Errors::kPatternError, Common::kMsgZaphRangeCheckFailed);
    }
    return GetTypeIndex(source) == kind && CompareUnits(source, from) != -1 &&
           CompareUnits(source, to) != 1;
}

bool EqualValue(const View::Unit& source, const View::Unit& argument) {
    return ValuesEqual(source, argument);
}

bool Greater(const View::Unit& source, const View::Unit& argument) {
    return SameKind(source, argument) && CompareUnits(source, argument) == 1;
}

bool GreaterEqual(const View::Unit& source, const View::Unit& argument) {
    return SameKind(source, argument) && CompareUnits(source, argument) != -1;
}

bool Less(const View::Unit& source, const View::Unit& argument) {
    return SameKind(source, argument) && CompareUnits(source, argument) == -1;
}

bool LessEqual(const View::Unit& source, const View::Unit& argument) {
    return SameKind(source, argument) && CompareUnits(source, argument) != 1;
}

bool IncludedInArray(const View::Unit& source, const View::Unit& argument) {
    return AnyElement(source,
                      [&](const View::Unit& element) { return UnitsEqual(element, argument); });
}

bool ValueIncludedInArray(const View::Unit& source, const View::Unit& argument) {
    return AnyElement(source,
                      [&](const View::Unit& element) { return ValuesEqual(element, argument); });
}

bool In(const View::Unit& source, const View::Unit& argument) {
    return AnyElement(argument,
                      [&](const View::Unit& element) { return UnitsEqual(element, source); });
}

bool ValueIn(const View::Unit& source, const View::Unit& argument) {
    return AnyElement(argument,
                      [&](const View::Unit& element) { return ValuesEqual(element, source); });
}

bool Is(const View::Unit& source, const View::Unit& argument) {
    return HasTraitWithValue(source, Name::Literal("Is"), argument);
}

bool PrimaryKey(const View::Unit& source, const View::Unit& argument) {
    return HasTraitWithValue(source, Name::Literal("PrimaryKey"), argument);
}

bool ForeignKey(const View::Unit& source, const View::Unit& argument) {
    return HasTraitWithValue(source, Name::Literal("ForeignKey"), argument);
}

bool Source(const View::Unit& source, const View::Unit& argument) {
    const Name name = Name::Literal("Source");
    if (HasTrait(argument, Name::Literal("AnyValue"))) {
        return HasTrait(source, name);
    }
    return HasTraitWithValue(source, name, argument);
}

bool Like(const View::Unit& source, const View::Unit& argument) {
    return WithString(argument, [&](const String* wildcard) {
        if (wildcard == nullptr) {
            ThrowStructureMismatch(COMMON_PLACE("Zaph::Util::Patterns::Like"));
        }
        const auto fits = [&](const View::Unit& unit) {
            return WithString(unit, [&](const String* text) {
                return text != nullptr && MatchWildcard(*text, *wildcard);
            });
        };
        return IsSearchableArray(source) ? AnyElement(source, fits) : fits(source);
    });
}

bool Not(const View::Unit& source, const View::Unit& argument) {
    return !Match(source, argument);
}

bool Or(const View::Unit& source, const View::Unit& argument) {
    return Detail::WithValue(argument, [&](const CapturedValue& value) {
        if (value.index != TypeIndex::Array || value.As<View::ArrayValue>().IsEmpty()) {
            return true;
        }
        return AnyElement(argument,
                          [&](const View::Unit& pattern) { return Match(source, pattern); });
    });
}

bool DirectRelative(const View::Unit& source, const View::Unit& argument) {
    return WithString(argument, [&](const String* prefix) {
        if (prefix == nullptr) {
            ThrowStructureMismatch(COMMON_PLACE("Zaph::Util::Patterns::DirectRelative"));
        }
        return WithString(source, [&](const String* text) {
            return text != nullptr && text->starts_with(*prefix);
        });
    });
}

bool HasIntersection(const View::Unit& source, const View::Unit& argument) {
    if (!IsArray(source) || !IsArray(argument)) {
        ThrowStructureMismatch(COMMON_PLACE("Zaph::Util::Patterns::HasIntersection"));
    }
    return AnyElement(source, [&](const View::Unit& mine) {
        return AnyElement(argument,
                          [&](const View::Unit& theirs) { return ValuesEqual(mine, theirs); });
    });
}

}  // namespace Patterns

struct Entry {
    Name name;
    PatternTest test;
};

using Registry = std::array<Entry, 20>;

// Sorted by name for the lookup.
Registry BuildRegistry() {
    Registry registry{{
        {Name::Literal("AnyValue"), &Patterns::AnyValue},
        {Name::Literal("Between"), &Patterns::Between},
        {Name::Literal("EqualValue"), &Patterns::EqualValue},
        {Name::Literal("Greater"), &Patterns::Greater},
        {Name::Literal("GreaterEqual"), &Patterns::GreaterEqual},
        {Name::Literal("Less"), &Patterns::Less},
        {Name::Literal("LessEqual"), &Patterns::LessEqual},
        {Name::Literal("IncludedInArray"), &Patterns::IncludedInArray},
        {Name::Literal("ValueIncludedInArray"), &Patterns::ValueIncludedInArray},
        {Name::Literal("In"), &Patterns::In},
        {Name::Literal("ValueIn"), &Patterns::ValueIn},
        {Name::Literal("Is"), &Patterns::Is},
        {Name::Literal("PrimaryKey"), &Patterns::PrimaryKey},
        {Name::Literal("ForeignKey"), &Patterns::ForeignKey},
        {Name::Literal("Source"), &Patterns::Source},
        {Name::Literal("Like"), &Patterns::Like},
        {Name::Literal("Not"), &Patterns::Not},
        {Name::Literal("Or"), &Patterns::Or},
        {Name::Literal("DirectRelative"), &Patterns::DirectRelative},
        {Name::Literal("HasIntersection"), &Patterns::HasIntersection},
    }};
    std::sort(registry.begin(), registry.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return registry;
}

}  // namespace

PatternTest GetPatternByName(const Name& name) {
    // Built on the first lookup, by whichever thread comes first; read-only afterwards.
    static const Registry registry = BuildRegistry();
    const auto found = std::lower_bound(
        registry.begin(), registry.end(), name,
        [](const Entry& entry, const Name& wanted) { return entry.name < wanted; });
    if (found == registry.end() || found->name != name) {
        throw Zaph::Detail::MakeError(COMMON_PLACE("Zaph::Util::GetPatternByName"),
                                      Errors::kPatternError, Common::kMsgZaphTraitNotRegistered,
                                      {Common::ToUtf16(name.View())});
    }
    return found->test;
}

}  // namespace Zaph::Util
