#include "enterprise/common/zaph/value_access.h"

namespace Zaph::Util {

uint32_t GetTypeIndex(const View::Unit& unit) {
    GetValueTypeIndexVisitor handler;
    View::Detail::UnitVisitorAdaptor<GetValueTypeIndexVisitor> reader(handler);
    unit.Accept(reader);
    return handler.GetIndex();
}

}  // namespace Zaph::Util
