// Building units from a stream of events: a value, opening a property, a trait or an array
// element, closing the innermost open item.
//
//   UnitBuilder         the events (the vocabulary of the unit construction text format)
//   UnitAccumulator     builds the units the events describe, with a unit factory
//   FluentUnitBuilder   a front end that writes a unit as a chain of calls:
//
//     Construction::UnitPtr unit = FluentUnitBuilder(factory)
//         .Composite()
//             .Trait("Is").String(u"Machine").End()
//             .Property("Ports")
//                 .Array().DWord(80).End().DWord(443).End()
//             .End()
//         .End()
//         .TakeResult();
//
// Every item is closed by its own End: a trait, a property, each array element and the root.
//
// UnitAccumulator keeps a stack of open frames; each holds a name, a kind (root, new property,
// existing property, trait, array element) and the unit built for it (none until a value event
// gives it one). The stack starts with one root frame.
//   - A value event (Nil ... Error, Array, Composite) gives the innermost frame its unit when it
//     has none. When the frame holds an array, the event opens an array element frame holding
//     the new unit instead. When it holds another unit, the new value is assigned to it
//     (assign.h: same kind only), and a Composite event on a composite changes nothing.
//   - Property(name) opens a frame on the property of the innermost frame's composite: an
//     existing-property frame over its value when the composite has that property, else a
//     new-property frame. A unit that is not a composite raises the structure type mismatch
//     (expected Composite).
//   - Trait(name) opens a trait frame on the innermost frame's unit.
//   - Property and Trait on a frame that holds no unit yet raise "ZAPH: Null units are
//     forbidden." (Errors::kNullUnit).
//   - End closes the innermost frame: a new property is set on the composite below, a trait is
//     added to the unit below, an element is appended to the array below, an existing property
//     adds nothing (its value was changed in place), and the root makes its unit the result
//     (replacing an earlier one) and a fresh root frame opens. Closing a frame without a unit
//     raises "ZAPH: Null units are forbidden.".
//   - Building is linear in the size of the unit whatever the order of the property names: the
//     new properties of an open composite wait in its frame, in arrival order (searched by
//     binary search while the names come in order, by a hash index once one does not), and
//     join the composite in one sorted batch when the frame closes. Property finds a name among
//     them as among the composite's own; nothing else sees a composite whose frame is open.
//   - More than kMaxUnitDepth open frames raise Errors::kUnitTooDeep.
// TakeResult hands over the unit closed last at root level (null when there is none) and clears
// it. After an error the accumulator holds a partial tree and must not be used further.
//
// Thread-safety: a builder belongs to one thread at a time.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "enterprise/common/zaph/unit_factory.h"

namespace Zaph::Util {

/// The building events, in the order of the value kinds.
class UnitBuilder : private Common::NonCopyable {
  public:
    virtual ~UnitBuilder() = default;
    virtual void Nil() = 0;
    virtual void Boolean(bool value) = 0;
    virtual void Byte(uint8_t value) = 0;
    virtual void SByte(int8_t value) = 0;
    virtual void Word(uint16_t value) = 0;
    virtual void SWord(int16_t value) = 0;
    virtual void DWord(uint32_t value) = 0;
    virtual void SDWord(int32_t value) = 0;
    virtual void QWord(uint64_t value) = 0;
    virtual void SQWord(int64_t value) = 0;
    virtual void Double(double value) = 0;
    virtual void Blob(const Zaph::Blob& value) = 0;
    virtual void Guid(const Zaph::Guid& value) = 0;
    virtual void String(std::u16string_view value) = 0;
    virtual void Error(const Common::Error& value) = 0;
    /// Opens an array value.
    virtual void Array() = 0;
    /// Opens a composite value.
    virtual void Composite() = 0;
    /// Opens a property of the current composite.
    virtual void Property(const Name& name) = 0;
    /// Opens a trait of the current unit.
    virtual void Trait(const Name& name) = 0;
    /// Closes the innermost open item.
    virtual void End() = 0;
    /// Hands over the finished unit.
    virtual Construction::UnitPtr TakeResult() = 0;
    /// True when the innermost open item already holds a unit that is not an array, so that a
    /// value event would change that unit (assign to it, or reopen a composite) rather than
    /// give the item its unit or open an array element. Readers that want every value to be
    /// new ask it; a builder that does not track its items answers false.
    [[nodiscard]] virtual bool HoldsUnit() const { return false; }
};

/// See the file comment.
class UnitAccumulator final : public UnitBuilder {
  public:
    explicit UnitAccumulator(Construction::UnitFactory& factory);
    ~UnitAccumulator() override;

    void Nil() override;
    void Boolean(bool value) override;
    void Byte(uint8_t value) override;
    void SByte(int8_t value) override;
    void Word(uint16_t value) override;
    void SWord(int16_t value) override;
    void DWord(uint32_t value) override;
    void SDWord(int32_t value) override;
    void QWord(uint64_t value) override;
    void SQWord(int64_t value) override;
    void Double(double value) override;
    void Blob(const Zaph::Blob& value) override;
    void Guid(const Zaph::Guid& value) override;
    void String(std::u16string_view value) override;
    void Error(const Common::Error& value) override;
    void Array() override;
    void Composite() override;
    void Property(const Name& name) override;
    void Trait(const Name& name) override;
    void End() override;
    Construction::UnitPtr TakeResult() override;
    [[nodiscard]] bool HoldsUnit() const override;

    /// True when a unit has been closed at root level and not taken yet.
    bool HasResult() const { return result_ != nullptr; }

  private:
    enum class FrameKind { Root, NewProperty, ExistingProperty, Trait, Element };
    // The new properties of a frame's composite until the frame closes.
    class PendingProperties;
    struct Frame {
        FrameKind kind;
        Name name;
        // The frame's own unit; null for an existing property, whose unit its composite owns.
        Construction::UnitPtr owned;
        // The unit built or changed in this frame (null until a value event).
        Construction::Unit* unit;
        // Made by the first new property of the frame's composite.
        std::unique_ptr<PendingProperties> pending;
    };

    void Value(Construction::UnitPtr unit);
    void Push(FrameKind kind, const Name& name, Construction::UnitPtr owned,
              Construction::Unit* unit);
    // The unit of the innermost frame, which Property and Trait attach to.
    Construction::Unit& CurrentUnit(const Common::SourceLocation& place);

    Construction::UnitFactory& factory_;
    std::vector<Frame> frames_;
    Construction::UnitPtr result_;
};

/// A chain-of-calls front end over a shared UnitAccumulator made with `factory`, which must
/// outlive it; every call forwards one event and returns the front end. Copies share the
/// accumulator.
class FluentUnitBuilder {
  public:
    explicit FluentUnitBuilder(Construction::UnitFactory& factory);

    FluentUnitBuilder& Nil();
    FluentUnitBuilder& Boolean(bool value);
    FluentUnitBuilder& Byte(uint8_t value);
    FluentUnitBuilder& SByte(int8_t value);
    FluentUnitBuilder& Word(uint16_t value);
    FluentUnitBuilder& SWord(int16_t value);
    FluentUnitBuilder& DWord(uint32_t value);
    FluentUnitBuilder& SDWord(int32_t value);
    FluentUnitBuilder& QWord(uint64_t value);
    FluentUnitBuilder& SQWord(int64_t value);
    FluentUnitBuilder& Double(double value);
    FluentUnitBuilder& Blob(const Zaph::Blob& value);
    FluentUnitBuilder& Guid(const Zaph::Guid& value);
    FluentUnitBuilder& String(std::u16string_view value);
    FluentUnitBuilder& Error(const Common::Error& value);
    FluentUnitBuilder& Array();
    FluentUnitBuilder& Composite();
    FluentUnitBuilder& Property(const Name& name);
    FluentUnitBuilder& Trait(const Name& name);
    FluentUnitBuilder& End();
    Construction::UnitPtr TakeResult();

  private:
    std::shared_ptr<UnitAccumulator> accumulator_;
};

}  // namespace Zaph::Util
