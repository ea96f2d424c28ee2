// The depth-first walk of a unit as a stream of events.
//
// WalkUnit(unit, guide, walker) reports a unit as
//   OnUnitBegin(unit), then its value and its traits in the order the guide chooses,
//   OnUnitEnd(unit)
// where the value is one OnNil or OnValue for every kind but the containers; OnComposite, then
// for each property in name order OnProperty(name) and the walk of its value; or OnArray, then
// the walk of each element in order. The traits are, in trait order, OnTrait(name) and the walk
// of the trait's value. WalkValueFirstGuide, the guide in use everywhere, walks the value first.
//
// A walk of a stored binary form (BlobWalkingRoute, blob_reader.h) reports the same events
// without units: OnUnitBegin and OnUnitEnd then get null.
//
// WalkUnit descends at most kMaxUnitDepth levels and raises Errors::kUnitTooDeep past that.
//
// Thread-safety: the unit must not change during the walk.
#pragma once

#include "enterprise/common/zaph/view.h"

namespace Zaph::Util {

/// Receives the events of a walk.
class UnitWalker : private Common::NonCopyable {
  public:
    virtual ~UnitWalker() = default;
    /// The start of every unit (null when replaying stored bytes).
    virtual void OnUnitBegin(const View::Unit* unit) = 0;
    /// The end of every unit (null when replaying stored bytes).
    virtual void OnUnitEnd(const View::Unit* unit) = 0;
    /// Before the value unit of each property.
    virtual void OnProperty(const Name& name) = 0;
    /// Before the value unit of each trait.
    virtual void OnTrait(const Name& name) = 0;
    virtual void OnNil() = 0;
    virtual void OnValue(const Common::Error& value) = 0;
    virtual void OnValue(const String& value) = 0;
    virtual void OnValue(const Guid& value) = 0;
    virtual void OnValue(const Blob& value) = 0;
    virtual void OnValue(double value) = 0;
    virtual void OnValue(int64_t value) = 0;
    virtual void OnValue(uint64_t value) = 0;
    virtual void OnValue(int32_t value) = 0;
    virtual void OnValue(uint32_t value) = 0;
    virtual void OnValue(int16_t value) = 0;
    virtual void OnValue(uint16_t value) = 0;
    virtual void OnValue(int8_t value) = 0;
    virtual void OnValue(uint8_t value) = 0;
    virtual void OnValue(bool value) = 0;
    /// The start of an Array value.
    virtual void OnArray() = 0;
    /// The start of a Composite value.
    virtual void OnComposite() = 0;
};

/// What a guide is given for each unit: the two halves of the unit to walk.
class TraitValueCrossroad : private Common::NonCopyable {
  public:
    virtual ~TraitValueCrossroad() = default;
    /// Walks the value; with `descend` off a container reports only its OnComposite or OnArray.
    virtual void WalkValue(bool descend) = 0;
    virtual void WalkTraits() = 0;
};

/// Decides, for each unit, in which order its value and its traits are walked.
class TraitValueGuide : private Common::NonCopyable {
  public:
    virtual ~TraitValueGuide() = default;
    virtual void Guide(const View::Unit& unit, TraitValueCrossroad& crossroad) = 0;
};

/// Walks the whole value first, then the traits.
class WalkValueFirstGuide final : public TraitValueGuide {
  public:
    void Guide(const View::Unit& unit, TraitValueCrossroad& crossroad) override;
};

/// Reports `unit` to `walker`; see the file comment.
void WalkUnit(const View::Unit& unit, TraitValueGuide& guide, UnitWalker& walker);

}  // namespace Zaph::Util
