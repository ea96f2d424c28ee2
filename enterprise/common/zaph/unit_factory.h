// Making units: the unit factory interface and its in-memory implementation.
//
// Every creation returns a new unit, trait or property owned by the caller; every new unit has
// an empty trait set. CreateTrait and CreateProperty refuse an absent value unit with
// "ZAPH: Null units are forbidden." (kNullUnit) and create nothing. CreateError stores a copy of
// a non-success error made through its byte form, so the stored error carries its own message
// and fields and depends on nothing of the code that raised it; when that byte form cannot be
// held in memory, CreateError throws Common::kOutOfMemoryError. The allocations of the units
// themselves fail as the standard library's std::bad_alloc.
//
// InMemoryUnitFactory has no state: any number of instances may exist, and units made by one
// are indistinguishable from units made by another. DefaultUnitFactory() is the process-wide
// instance for components that are handed no factory.
//
// Thread-safety: factories may be used from any thread; the default instance is created once,
// on first use, and destroyed at process exit.
#pragma once

#include <string_view>

#include "enterprise/common/zaph/construction.h"

namespace Zaph::Construction {

class UnitFactory : private Common::NonCopyable {
  public:
    virtual ~UnitFactory() = default;
    virtual UnitPtr CreateNil() = 0;
    virtual UnitPtr CreateBoolean(bool value) = 0;
    virtual UnitPtr CreateByte(uint8_t value) = 0;
    virtual UnitPtr CreateSByte(int8_t value) = 0;
    virtual UnitPtr CreateWord(uint16_t value) = 0;
    virtual UnitPtr CreateSWord(int16_t value) = 0;
    virtual UnitPtr CreateDWord(uint32_t value) = 0;
    virtual UnitPtr CreateSDWord(int32_t value) = 0;
    virtual UnitPtr CreateQWord(uint64_t value) = 0;
    virtual UnitPtr CreateSQWord(int64_t value) = 0;
    virtual UnitPtr CreateDouble(double value) = 0;
    virtual UnitPtr CreateBlob(const Blob& value) = 0;
    virtual UnitPtr CreateGuid(const Guid& value) = 0;
    virtual UnitPtr CreateString(std::u16string_view value) = 0;
    virtual UnitPtr CreateError(const Common::Error& value) = 0;
    /// An empty array.
    virtual UnitPtr CreateArray() = 0;
    /// An empty composite.
    virtual UnitPtr CreateComposite() = 0;
    virtual View::TraitPtr CreateTrait(const Name& name, View::UnitPtr value) = 0;
    virtual PropertyPtr CreateProperty(const Name& name, UnitPtr value) = 0;
};

class InMemoryUnitFactory final : public UnitFactory {
  public:
    InMemoryUnitFactory() = default;

    UnitPtr CreateNil() override;
    UnitPtr CreateBoolean(bool value) override;
    UnitPtr CreateByte(uint8_t value) override;
    UnitPtr CreateSByte(int8_t value) override;
    UnitPtr CreateWord(uint16_t value) override;
    UnitPtr CreateSWord(int16_t value) override;
    UnitPtr CreateDWord(uint32_t value) override;
    UnitPtr CreateSDWord(int32_t value) override;
    UnitPtr CreateQWord(uint64_t value) override;
    UnitPtr CreateSQWord(int64_t value) override;
    UnitPtr CreateDouble(double value) override;
    UnitPtr CreateBlob(const Blob& value) override;
    UnitPtr CreateGuid(const Guid& value) override;
    UnitPtr CreateString(std::u16string_view value) override;
    UnitPtr CreateError(const Common::Error& value) override;
    UnitPtr CreateArray() override;
    UnitPtr CreateComposite() override;
    View::TraitPtr CreateTrait(const Name& name, View::UnitPtr value) override;
    PropertyPtr CreateProperty(const Name& name, UnitPtr value) override;
};

/// The process-wide in-memory factory.
InMemoryUnitFactory& DefaultUnitFactory();

}  // namespace Zaph::Construction
