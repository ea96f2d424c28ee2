#include "enterprise/common/zaph/copy_unit.h"

#include "enterprise/common/zaph/container_access.h"
#include "enterprise/common/zaph/nesting_guard.h"
#include "enterprise/common/zaph/trait_holders.h"
#include "enterprise/common/zaph/value_access.h"

namespace Zaph::Util {
namespace {

using Detail::CapturedValue;

template <class T>
T Scalar(const CapturedValue& captured) {
    return captured.As<View::ScalarValue<T>>().GetValue();
}

template <class T>
const T& Complex(const CapturedValue& captured) {
    return captured.As<View::ComplexValue<T>>().GetValue();
}

void CopyElements(const View::ArrayValue& source, Construction::Unit& target,
                  Construction::UnitFactory& factory) {
    Construction::ArrayValue* array = Detail::ArrayOf(target);
    if (array == nullptr) {
        throw Detail::MakeTypeMismatchError(TypeIndex::Array, GetTypeIndex(target));
    }
    auto copy = MakeProcessor<const View::Unit>([&](const View::Unit& element) {
        array->PushBack(CopyUnit(element, factory));
        return false;
    });
    source.ForEach(copy);
}

void CopyProperties(const View::CompositeValue& source, Construction::Unit& target,
                    Construction::UnitFactory& factory) {
    Construction::CompositeValue* composite = Detail::CompositeOf(target);
    if (composite == nullptr) {
        throw Detail::MakeTypeMismatchError(TypeIndex::Composite, GetTypeIndex(target));
    }
    auto copy = MakeProcessor<const View::Property>([&](const View::Property& property) {
        composite->Set(
            factory.CreateProperty(property.GetName(), CopyUnit(property.GetValue(), factory)));
        return false;
    });
    source.ForEach(copy);
}

Construction::UnitPtr CopyValue(const CapturedValue& value, Construction::UnitFactory& factory) {
    switch (value.index) {
        case TypeIndex::Boolean:
            return factory.CreateBoolean(Scalar<bool>(value));
        case TypeIndex::Byte:
            return factory.CreateByte(Scalar<uint8_t>(value));
        case TypeIndex::SByte:
            return factory.CreateSByte(Scalar<int8_t>(value));
        case TypeIndex::Word:
            return factory.CreateWord(Scalar<uint16_t>(value));
        case TypeIndex::SWord:
            return factory.CreateSWord(Scalar<int16_t>(value));
        case TypeIndex::DWord:
            return factory.CreateDWord(Scalar<uint32_t>(value));
        case TypeIndex::SDWord:
            return factory.CreateSDWord(Scalar<int32_t>(value));
        case TypeIndex::QWord:
            return factory.CreateQWord(Scalar<uint64_t>(value));
        case TypeIndex::SQWord:
            return factory.CreateSQWord(Scalar<int64_t>(value));
        case TypeIndex::Double:
            return factory.CreateDouble(Scalar<double>(value));
        case TypeIndex::Blob:
            return factory.CreateBlob(Complex<Blob>(value));
        case TypeIndex::Guid:
            return factory.CreateGuid(Complex<Guid>(value));
        case TypeIndex::String:
            return factory.CreateString(Complex<String>(value));
        case TypeIndex::Error:
            return factory.CreateError(Complex<Common::Error>(value));
        case TypeIndex::Array: {
            Construction::UnitPtr copy = factory.CreateArray();
            CopyElements(value.As<View::ArrayValue>(), *copy, factory);
            return copy;
        }
        case TypeIndex::Composite: {
            Construction::UnitPtr copy = factory.CreateComposite();
            CopyProperties(value.As<View::CompositeValue>(), *copy, factory);
            return copy;
        }
        default:  // Nil
            return factory.CreateNil();
    }
}

}  // namespace

Construction::UnitPtr CopyUnit(const View::Unit& source, Construction::UnitFactory& factory) {
    Zaph::Detail::NestingGuard guard(COMMON_PLACE("Zaph::Util::CopyUnit"));
    Construction::UnitPtr copy = Detail::WithValue(
        source, [&](const CapturedValue& value) { return CopyValue(value, factory); });
    if (copy == nullptr) {
        Zaph::Detail::ThrowNullUnit(COMMON_PLACE("Zaph::Util::CopyUnit"));
    }
    const View::Traits& sourceTraits = source.GetTraits();
    if (TraitsHolder::KnownEmpty(sourceTraits)) {
        return copy;
    }
    Construction::Traits& traits = copy->GetTraits();
    auto copyTrait = MakeProcessor<const View::Trait>([&](const View::Trait& trait) {
        traits.Add(factory.CreateTrait(trait.GetName(), CopyUnit(trait.GetValue(), factory)));
        return false;
    });
    sourceTraits.ForEach(copyTrait);
    return copy;
}

}  // namespace Zaph::Util
