#include "enterprise/common/zaph/container_access.h"

namespace Zaph::Util::Detail {
namespace {

// Records the composite or array interface of the layer L that a unit passes to its visitor.
template <class L>
class ContainerCapture {
  public:
    void operator()(typename L::CompositeValue& value) { composite = &value; }
    void operator()(typename L::ArrayValue& value) { array = &value; }
    template <class V>
    void operator()(V&) {}

    typename L::CompositeValue* composite = nullptr;
    typename L::ArrayValue* array = nullptr;
};

template <class L, class Adaptor, class U>
ContainerCapture<L> Capture(U& unit) {
    ContainerCapture<L> capture;
    Adaptor visitor(capture);
    unit.Accept(visitor);
    return capture;
}

using ViewCapture = ContainerCapture<View::Layer>;
using ModificationCapture = ContainerCapture<Modification::Layer>;
using ConstructionCapture = ContainerCapture<Construction::Layer>;

}  // namespace

const View::CompositeValue* CompositeOf(const View::Unit& unit) {
    return Capture<View::Layer, View::Detail::UnitVisitorAdaptor<ViewCapture>>(unit).composite;
}

Modification::CompositeValue* CompositeOf(Modification::Unit& unit) {
    return Capture<Modification::Layer,
                   Modification::Detail::UnitVisitorAdaptor<ModificationCapture>>(unit)
        .composite;
}

Construction::CompositeValue* CompositeOf(Construction::Unit& unit) {
    return Capture<Construction::Layer,
                   Construction::Detail::UnitVisitorAdaptor<ConstructionCapture>>(unit)
        .composite;
}

const View::ArrayValue* ArrayOf(const View::Unit& unit) {
    return Capture<View::Layer, View::Detail::UnitVisitorAdaptor<ViewCapture>>(unit).array;
}

Modification::ArrayValue* ArrayOf(Modification::Unit& unit) {
    return Capture<Modification::Layer,
                   Modification::Detail::UnitVisitorAdaptor<ModificationCapture>>(unit)
        .array;
}

Construction::ArrayValue* ArrayOf(Construction::Unit& unit) {
    return Capture<Construction::Layer,
                   Construction::Detail::UnitVisitorAdaptor<ConstructionCapture>>(unit)
        .array;
}

bool IsContainer(const View::Unit& unit) {
    const ViewCapture capture =
        Capture<View::Layer, View::Detail::UnitVisitorAdaptor<ViewCapture>>(unit);
    return capture.composite != nullptr || capture.array != nullptr;
}

}  // namespace Zaph::Util::Detail
