// Pairing walkers: the items of two containers matched up in pairs, for comparisons.
//
// Each walker operation returns true to stop the walk.
//
//   WalkTraits: for each left trait in trait order, the first right trait of its name whose
//     value is unit-equal to its value is its pair (OnPair), else OnLeftOnly; stopping here
//     ends the whole walk. Then each right trait with no unit-equal trait of its name on the
//     left goes to OnRightOnly.
//   WalkArrayElements: OnPair for indices 0 .. min(sizes) - 1, then the rest of the longer
//     array in index order (OnLeftOnly or OnRightOnly).
//   WalkCompositeProperties: for each left property in name order OnPair when the right has
//     its name, else OnLeftOnly; then each right property whose name the left lacks, in name
//     order, goes to OnRightOnly.
//
// Thread-safety: pure functions over units that nobody changes during the call.
#pragma once

#include "core/common/noncopyable.h"
#include "enterprise/common/zaph/view.h"

namespace Zaph::Util {

class UnitTraitsWalker : private Common::NonCopyable {
  public:
    virtual ~UnitTraitsWalker() = default;
    virtual bool OnPair(const View::Trait& left, const View::Trait& right) = 0;
    virtual bool OnLeftOnly(const View::Trait& left) = 0;
    virtual bool OnRightOnly(const View::Trait& right) = 0;
};

class ArrayElementsWalker : private Common::NonCopyable {
  public:
    virtual ~ArrayElementsWalker() = default;
    virtual bool OnPair(const View::Unit& left, const View::Unit& right) = 0;
    virtual bool OnLeftOnly(const View::Unit& left) = 0;
    virtual bool OnRightOnly(const View::Unit& right) = 0;
};

class CompositePropertyWalker : private Common::NonCopyable {
  public:
    virtual ~CompositePropertyWalker() = default;
    virtual bool OnPair(const View::Property& left, const View::Property& right) = 0;
    virtual bool OnLeftOnly(const View::Property& left) = 0;
    virtual bool OnRightOnly(const View::Property& right) = 0;
};

void WalkTraits(const View::Unit& left, const View::Unit& right, UnitTraitsWalker& walker);

void WalkArrayElements(const View::ArrayValue& left, const View::ArrayValue& right,
                       ArrayElementsWalker& walker);

void WalkCompositeProperties(const View::CompositeValue& left, const View::CompositeValue& right,
                             CompositePropertyWalker& walker);

}  // namespace Zaph::Util
