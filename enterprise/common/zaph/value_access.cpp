#include "enterprise/common/zaph/value_access.h"

namespace Zaph::Util {
namespace {

class ValueCapture {
public:
    explicit ValueCapture(Detail::CapturedValue& out) : out_(out) {}
    template <class V>
    void operator()(const V& value) {
        out_.index = TypeIndexOfValue(value);
        out_.value = &value;
    }

private:
    Detail::CapturedValue& out_;
};

}  // namespace

uint32_t GetTypeIndex(const View::Unit& unit) {
    GetValueTypeIndexVisitor handler;
    View::Detail::UnitVisitorAdaptor<GetValueTypeIndexVisitor> reader(handler);
    unit.Accept(reader);
    return handler.GetIndex();
}

Detail::CapturedValue Detail::CaptureValue(const View::Unit& unit) {
    CapturedValue captured;
    ValueCapture handler(captured);
    View::Detail::UnitVisitorAdaptor<ValueCapture> reader(handler);
    unit.Accept(reader);
    return captured;
}

}  // namespace Zaph::Util
