#include "tests/scripted_service_support.h"

#include <string>
#include <utility>

#include "core/common/text.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace KivoDumpTest {
namespace {

using namespace ZaphTest;

Zaph::View::SharedUnitPtr Marked(UnitPtr unit, uint32_t channel) {
    return Zaph::View::SharedUnitPtr(
        channel == 0 ? std::move(unit) : WithTrait(std::move(unit), "ChannelID", DWord(channel)));
}

UnitPtr Key(uint32_t n) {
    return WithTrait(Composite(Prop{"Name", Str(Common::ToUtf16("machine-" + std::to_string(n)))}),
                     "PrimaryKey", Nil());
}

}  // namespace

Zaph::View::SharedUnitPtr MachineObject(uint32_t n, uint32_t channel) {
    return Marked(WithTrait(Composite(Prop{"Key", Key(n)}), "Is", Str(u"Machine")), channel);
}

Zaph::View::SharedUnitPtr MachineKey(uint32_t n, uint32_t channel) {
    return Marked(Key(n), channel);
}

Zaph::View::SharedUnitPtr MachineDiff(uint32_t n) {
    return Marked(Composite(Prop{"Port", DWord(8000 + n)}), 0);
}

}  // namespace KivoDumpTest
