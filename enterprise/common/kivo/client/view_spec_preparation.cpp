#include "enterprise/common/kivo/client/view_spec_preparation.h"

#include <type_traits>
#include <utility>

#include "core/common/text.h"
#include "enterprise/common/zaph/copy_unit.h"
#include "enterprise/common/zaph/unit_utilities.h"

namespace Kivo::Client {
namespace {

const Zaph::Name kLimitOptions = Zaph::Name::Literal("LimitOptions");
const Zaph::Name kEntryPoint = Zaph::Name::Literal("EntryPoint");

// Tells whether a value is the number 0 of an integer kind.
class ZeroNumber {
  public:
    template <class T>
    void operator()(const Zaph::View::ScalarValue<T>& value) {
        if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>)
            zero_ = value.GetValue() == 0;
    }
    template <class V>
    void operator()(const V&) {}

    bool IsZero() const { return zero_; }

  private:
    bool zero_ = false;
};

bool HoldsZero(const Zaph::View::Unit& unit) {
    ZeroNumber handler;
    Zaph::View::Detail::UnitVisitorAdaptor<ZeroNumber> reader(handler);
    unit.Accept(reader);
    return handler.IsZero();
}

// True when `options` ask for a number of objects: a "LimitOptions" trait, none of them 0.
bool HasLimit(const Zaph::View::Unit& options) {
    bool found = false;
    bool zero = false;
    auto check = Zaph::MakeProcessor<const Zaph::View::Trait>([&](const Zaph::View::Trait& trait) {
        found = true;
        zero = HoldsZero(trait.GetValue());
        return zero;
    });
    options.GetTraits().ForEachNamed(kLimitOptions, check);
    return found && !zero;
}

// Replaces every trait called `name` of `unit` by one holding `value`.
void SetTrait(Zaph::Construction::Unit& unit, const Zaph::Name& name,
              Zaph::Construction::UnitPtr value, Zaph::Construction::UnitFactory& factory) {
    Zaph::View::TraitPtr trait = factory.CreateTrait(name, std::move(value));
    unit.GetTraits().Remove(name);
    unit.GetTraits().Add(std::move(trait));
}

Zaph::Construction::UnitPtr EntryPointUnit(const Core::EntryPoint& entryPoint,
                                           Zaph::Construction::UnitFactory& factory) {
    Zaph::Construction::UnitPtr composite = factory.CreateComposite();
    Zaph::Util::AddProperty(*composite,
                            factory.CreateProperty("ID", factory.CreateQWord(entryPoint.ID)));
    Zaph::Util::AddProperty(
        *composite,
        factory.CreateProperty("File", factory.CreateString(Common::ToUtf16(entryPoint.File))));
    Zaph::Util::AddProperty(*composite,
                            factory.CreateProperty("Line", factory.CreateDWord(entryPoint.Line)));
    return composite;
}

}  // namespace

ViewSpec PrepareViewSpec(const Core::EntryPoint& entryPoint, const ViewSpec& spec,
                         Zaph::Construction::UnitFactory& factory) {
    Zaph::Construction::UnitPtr options = spec.Options != nullptr
                                              ? Zaph::Util::CopyUnit(*spec.Options, factory)
                                              : factory.CreateComposite();
    if (!HasLimit(*options))
        SetTrait(*options, kLimitOptions, factory.CreateDWord(kDefaultObjectLimit), factory);
    SetTrait(*options, kEntryPoint, EntryPointUnit(entryPoint, factory), factory);
    return ViewSpec{spec.Pattern, Zaph::View::SharedUnitPtr(std::move(options))};
}

}  // namespace Kivo::Client
