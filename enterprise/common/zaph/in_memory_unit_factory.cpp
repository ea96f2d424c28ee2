#include <memory>

#include "core/common/buffer.h"
#include "enterprise/common/zaph/object.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace Zaph::Construction {
namespace {

template <class H, class... Args>
UnitPtr Make(Args&&... args) {
    return std::make_unique<Object<H>>(std::forward<Args>(args)...);
}

template <class T>
UnitPtr MakeScalar(T value) {
    return Make<ScalarValueHolder<T>>(value);
}

// A copy of `error` that shares nothing with it: written to its byte form and read back.
Common::Error DetachedCopy(const Common::Error& error) {
    if (error.IsEmpty()) {
        return error;
    }
    Common::DynamicBuffer bytes;
    if (!error.Serialize(bytes)) {
        throw Common::Error(COMMON_PLACE("Zaph::Construction::`anonymous-namespace'::DetachedCopy"),
                            Common::kOutOfMemoryError);
    }
    return Common::Error::Deserialize(bytes.Data(), bytes.Size());
}

}  // namespace

UnitPtr InMemoryUnitFactory::CreateNil() {
    return Make<NilValueHolder>();
}
UnitPtr InMemoryUnitFactory::CreateBoolean(bool value) {
    return MakeScalar(value);
}
UnitPtr InMemoryUnitFactory::CreateByte(uint8_t value) {
    return MakeScalar(value);
}
UnitPtr InMemoryUnitFactory::CreateSByte(int8_t value) {
    return MakeScalar(value);
}
UnitPtr InMemoryUnitFactory::CreateWord(uint16_t value) {
    return MakeScalar(value);
}
UnitPtr InMemoryUnitFactory::CreateSWord(int16_t value) {
    return MakeScalar(value);
}
UnitPtr InMemoryUnitFactory::CreateDWord(uint32_t value) {
    return MakeScalar(value);
}
UnitPtr InMemoryUnitFactory::CreateSDWord(int32_t value) {
    return MakeScalar(value);
}
UnitPtr InMemoryUnitFactory::CreateQWord(uint64_t value) {
    return MakeScalar(value);
}
UnitPtr InMemoryUnitFactory::CreateSQWord(int64_t value) {
    return MakeScalar(value);
}
UnitPtr InMemoryUnitFactory::CreateDouble(double value) {
    return MakeScalar(value);
}

UnitPtr InMemoryUnitFactory::CreateBlob(const Blob& value) {
    return Make<ComplexValueHolder<Blob>>(value);
}

UnitPtr InMemoryUnitFactory::CreateGuid(const Guid& value) {
    return Make<ComplexValueHolder<Guid>>(value);
}

UnitPtr InMemoryUnitFactory::CreateString(std::u16string_view value) {
    return Make<ComplexValueHolder<String>>(String(value));
}

UnitPtr InMemoryUnitFactory::CreateError(const Common::Error& value) {
    return Make<ComplexValueHolder<Common::Error>>(DetachedCopy(value));
}

UnitPtr InMemoryUnitFactory::CreateArray() {
    return Make<ArrayValueHolder>();
}

UnitPtr InMemoryUnitFactory::CreateComposite() {
    return Make<CompositeValueHolder>();
}

View::TraitPtr InMemoryUnitFactory::CreateTrait(const Name& name, View::UnitPtr value) {
    return std::make_unique<TraitHolder>(name, std::move(value));
}

PropertyPtr InMemoryUnitFactory::CreateProperty(const Name& name, UnitPtr value) {
    return std::make_unique<PropertyHolder>(name, std::move(value));
}

InMemoryUnitFactory& DefaultUnitFactory() {
    // Created on first use under the guard of the function-local static, destroyed at exit.
    static InMemoryUnitFactory instance;
    return instance;
}

}  // namespace Zaph::Construction
