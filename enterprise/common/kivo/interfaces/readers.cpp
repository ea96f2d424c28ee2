#include "enterprise/common/kivo/interfaces/readers.h"

namespace Kivo {
namespace {

Zaph::View::SharedUnitPtr Publish(Zaph::Construction::UnitPtr unit) {
    return Zaph::View::SharedUnitPtr(std::move(unit));
}

}  // namespace

void ReportReader::OnObject(Zaph::Construction::UnitPtr object) {
    OnObject(Publish(std::move(object)));
}

void SubscriptionReader::OnCreated(Zaph::Construction::UnitPtr object) {
    OnCreated(Publish(std::move(object)));
}

void SubscriptionReader::OnUpdated(Zaph::Construction::UnitPtr key,
                                   Zaph::Construction::UnitPtr diff) {
    OnUpdated(Publish(std::move(key)), Publish(std::move(diff)));
}

void SubscriptionReader::OnDeleted(Zaph::Construction::UnitPtr key) {
    OnDeleted(Publish(std::move(key)));
}

}  // namespace Kivo
