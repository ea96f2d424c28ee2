#include <algorithm>
#include <functional>
#include <string_view>
#include <utility>

#include "enterprise/common/zaph/assign.h"
#include "enterprise/common/zaph/container_access.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/holders.h"
#include "enterprise/common/zaph/nesting_guard.h"
#include "enterprise/common/zaph/unit_builder.h"
#include "enterprise/common/zaph/value_access.h"

namespace Zaph::Util {

// The properties in arrival order. While they arrive in name order, which is the common case,
// a binary search finds a name and the batch needs no sorting; from the first one out of order
// on, an open-addressing index finds them: a power-of-two table of positions plus one (0 for a
// free slot), never more than half full. 32-bit positions are plenty: a composite of 2^32
// properties would not fit in memory.
class UnitAccumulator::PendingProperties {
  public:
    // The pending property called `name`, or null.
    Construction::Property* Find(const Name& name) const {
        if (inOrder_) {
            const auto position =
                std::lower_bound(properties_.begin(), properties_.end(), name,
                                 [](const Construction::PropertyPtr& property, const Name& key) {
                                     return property->GetName().Compare(key) < 0;
                                 });
            return position != properties_.end() && (*position)->GetName() == name ? position->get()
                                                                                   : nullptr;
        }
        const std::string_view text = name.View();
        for (size_t slot = Hash(text) & Mask();; slot = (slot + 1) & Mask()) {
            const uint32_t taken = slots_[slot];
            if (taken == 0) {
                return nullptr;
            }
            Construction::Property* property = properties_[taken - 1].get();
            if (property->GetName().View() == text) {
                return property;
            }
        }
    }

    // Adds `property`, whose name the builder has found neither here nor in the composite.
    void Add(Construction::PropertyPtr property) {
        if (inOrder_) {
            if (properties_.empty() ||
                properties_.back()->GetName().Compare(property->GetName()) < 0) {
                properties_.push_back(std::move(property));
                return;
            }
            inOrder_ = false;
        }
        if ((properties_.size() + 1) * 2 > slots_.size()) {
            Grow();
        }
        properties_.push_back(std::move(property));
        Index(properties_.size() - 1);
    }

    // Sets every pending property on `composite` in name order and forgets them.
    void MoveTo(Construction::CompositeValue& composite) {
        if (!inOrder_) {
            std::sort(properties_.begin(), properties_.end(),
                      [](const Construction::PropertyPtr& a, const Construction::PropertyPtr& b) {
                          return a->GetName().Compare(b->GetName()) < 0;
                      });
            slots_.clear();
            inOrder_ = true;
        }
        if (CompositeValueHolder* holder = CompositeValueHolder::From(composite)) {
            holder->SetSorted(properties_);
            return;
        }
        for (Construction::PropertyPtr& property : properties_) {
            composite.Set(std::move(property));
        }
        properties_.clear();
    }

  private:
    static size_t Hash(std::string_view text) { return std::hash<std::string_view>()(text); }
    size_t Mask() const { return slots_.size() - 1; }

    void Index(size_t position) {
        size_t slot = Hash(properties_[position]->GetName().View()) & Mask();
        while (slots_[slot] != 0) {
            slot = (slot + 1) & Mask();
        }
        slots_[slot] = static_cast<uint32_t>(position + 1);
    }

    // Makes the table large enough for one more property and indexes every property held.
    void Grow() {
        size_t size = std::max<size_t>(16, slots_.size());
        while ((properties_.size() + 1) * 2 > size) {
            size *= 2;
        }
        slots_.assign(size, 0);
        for (size_t position = 0; position < properties_.size(); ++position) {
            Index(position);
        }
    }

    std::vector<Construction::PropertyPtr> properties_;
    std::vector<uint32_t> slots_;
    bool inOrder_ = true;
};

UnitAccumulator::UnitAccumulator(Construction::UnitFactory& factory) : factory_(factory) {
    Push(FrameKind::Root, Name(), nullptr, nullptr);
}

UnitAccumulator::~UnitAccumulator() = default;

void UnitAccumulator::Push(FrameKind kind, const Name& name, Construction::UnitPtr owned,
                           Construction::Unit* unit) {
    if (frames_.size() >= kMaxUnitDepth) {
        Zaph::Detail::ThrowUnitTooDeep(COMMON_PLACE("Zaph::Util::UnitAccumulator::Push"));
    }
    frames_.push_back(Frame{kind, name, std::move(owned), unit, nullptr});
}

void UnitAccumulator::Value(Construction::UnitPtr unit) {
    Frame& frame = frames_.back();
    if (frame.unit == nullptr) {
        frame.unit = unit.get();
        frame.owned = std::move(unit);
        return;
    }
    if (Detail::ArrayOf(*frame.unit) != nullptr) {
        Construction::Unit* element = unit.get();
        Push(FrameKind::Element, Name(), std::move(unit), element);
        return;
    }
    if (Detail::CompositeOf(*frame.unit) != nullptr && Detail::CompositeOf(*unit) != nullptr) {
        return;  // reopening a composite: its properties follow
    }
    Assign(*frame.unit, *unit, factory_);
}

Construction::Unit& UnitAccumulator::CurrentUnit(const Common::SourceLocation& place) {
    Construction::Unit* unit = frames_.back().unit;
    if (unit == nullptr) {
        Zaph::Detail::ThrowNullUnit(place);
    }
    return *unit;
}

void UnitAccumulator::Nil() {
    Value(factory_.CreateNil());
}
void UnitAccumulator::Boolean(bool value) {
    Value(factory_.CreateBoolean(value));
}
void UnitAccumulator::Byte(uint8_t value) {
    Value(factory_.CreateByte(value));
}
void UnitAccumulator::SByte(int8_t value) {
    Value(factory_.CreateSByte(value));
}
void UnitAccumulator::Word(uint16_t value) {
    Value(factory_.CreateWord(value));
}
void UnitAccumulator::SWord(int16_t value) {
    Value(factory_.CreateSWord(value));
}
void UnitAccumulator::DWord(uint32_t value) {
    Value(factory_.CreateDWord(value));
}
void UnitAccumulator::SDWord(int32_t value) {
    Value(factory_.CreateSDWord(value));
}
void UnitAccumulator::QWord(uint64_t value) {
    Value(factory_.CreateQWord(value));
}
void UnitAccumulator::SQWord(int64_t value) {
    Value(factory_.CreateSQWord(value));
}
void UnitAccumulator::Double(double value) {
    Value(factory_.CreateDouble(value));
}
void UnitAccumulator::Blob(const Zaph::Blob& value) {
    Value(factory_.CreateBlob(value));
}
void UnitAccumulator::Guid(const Zaph::Guid& value) {
    Value(factory_.CreateGuid(value));
}
void UnitAccumulator::String(std::u16string_view value) {
    Value(factory_.CreateString(value));
}
void UnitAccumulator::Error(const Common::Error& value) {
    Value(factory_.CreateError(value));
}
void UnitAccumulator::Array() {
    Value(factory_.CreateArray());
}
void UnitAccumulator::Composite() {
    Value(factory_.CreateComposite());
}

void UnitAccumulator::Property(const Name& name) {
    Construction::Unit& unit = CurrentUnit(COMMON_PLACE("Zaph::Util::UnitAccumulator::Property"));
    Construction::CompositeValue* composite = Detail::CompositeOf(unit);
    if (composite == nullptr) {
        throw Detail::MakeTypeMismatchError(TypeIndex::Composite, GetTypeIndex(unit));
    }
    Construction::Unit* existing = nullptr;
    if (const PendingProperties* pending = frames_.back().pending.get()) {
        if (Construction::Property* property = pending->Find(name)) {
            existing = &property->GetValue();
        }
    }
    if (existing == nullptr) {
        auto find = MakeProcessor<Construction::Property>([&](Construction::Property& property) {
            existing = &property.GetValue();
            return true;
        });
        composite->Find(name, find);
    }
    if (existing != nullptr) {
        Push(FrameKind::ExistingProperty, name, nullptr, existing);
    } else {
        Push(FrameKind::NewProperty, name, nullptr, nullptr);
    }
}

void UnitAccumulator::Trait(const Name& name) {
    CurrentUnit(COMMON_PLACE("Zaph::Util::UnitAccumulator::Trait"));
    Push(FrameKind::Trait, name, nullptr, nullptr);
}

void UnitAccumulator::End() {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (frame.pending != nullptr) {
        // Only a composite gets pending properties, and its frame keeps it until it closes.
        frame.pending->MoveTo(*Detail::CompositeOf(*frame.unit));
    }
    if (frame.kind == FrameKind::Root) {
        // A fresh root frame first, so that the accumulator stays usable whatever follows.
        Push(FrameKind::Root, Name(), nullptr, nullptr);
        if (frame.owned == nullptr) {
            Zaph::Detail::ThrowNullUnit(COMMON_PLACE("Zaph::Util::UnitAccumulator::End"));
        }
        result_ = std::move(frame.owned);
        return;
    }
    // Every frame but the root has a parent with a unit: Property and Trait require one, and an
    // element frame is opened only over an array.
    Frame& parentFrame = frames_.back();
    Construction::Unit& parent = *parentFrame.unit;
    switch (frame.kind) {
        case FrameKind::NewProperty:
            if (parentFrame.pending == nullptr) {
                parentFrame.pending = std::make_unique<PendingProperties>();
            }
            parentFrame.pending->Add(factory_.CreateProperty(frame.name, std::move(frame.owned)));
            break;
        case FrameKind::Trait:
            parent.GetTraits().Add(factory_.CreateTrait(frame.name, std::move(frame.owned)));
            break;
        case FrameKind::Element:
            Detail::ArrayOf(parent)->PushBack(std::move(frame.owned));
            break;
        case FrameKind::ExistingProperty:
        case FrameKind::Root:
            break;
    }
}

bool UnitAccumulator::HoldsUnit() const {
    const Construction::Unit* unit = frames_.back().unit;
    return unit != nullptr && Detail::ArrayOf(static_cast<const View::Unit&>(*unit)) == nullptr;
}

Construction::UnitPtr UnitAccumulator::TakeResult() {
    return std::move(result_);
}

FluentUnitBuilder::FluentUnitBuilder(Construction::UnitFactory& factory)
    : accumulator_(std::make_shared<UnitAccumulator>(factory)) {}

FluentUnitBuilder& FluentUnitBuilder::Nil() {
    accumulator_->Nil();
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::Boolean(bool value) {
    accumulator_->Boolean(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::Byte(uint8_t value) {
    accumulator_->Byte(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::SByte(int8_t value) {
    accumulator_->SByte(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::Word(uint16_t value) {
    accumulator_->Word(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::SWord(int16_t value) {
    accumulator_->SWord(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::DWord(uint32_t value) {
    accumulator_->DWord(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::SDWord(int32_t value) {
    accumulator_->SDWord(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::QWord(uint64_t value) {
    accumulator_->QWord(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::SQWord(int64_t value) {
    accumulator_->SQWord(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::Double(double value) {
    accumulator_->Double(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::Blob(const Zaph::Blob& value) {
    accumulator_->Blob(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::Guid(const Zaph::Guid& value) {
    accumulator_->Guid(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::String(std::u16string_view value) {
    accumulator_->String(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::Error(const Common::Error& value) {
    accumulator_->Error(value);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::Array() {
    accumulator_->Array();
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::Composite() {
    accumulator_->Composite();
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::Property(const Name& name) {
    accumulator_->Property(name);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::Trait(const Name& name) {
    accumulator_->Trait(name);
    return *this;
}
FluentUnitBuilder& FluentUnitBuilder::End() {
    accumulator_->End();
    return *this;
}
Construction::UnitPtr FluentUnitBuilder::TakeResult() {
    return accumulator_->TakeResult();
}

}  // namespace Zaph::Util
