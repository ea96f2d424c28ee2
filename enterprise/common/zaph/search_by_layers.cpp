#include "enterprise/common/zaph/search_by_layers.h"

#include <utility>
#include <vector>

#include "enterprise/common/zaph/container_access.h"

namespace Zaph::Util {

bool SearchByLayers(const View::Unit& unit, ItemProcessor<const View::Unit>& processor) {
    // The root alone first: most searches end there, before a level needs holding.
    if (processor.Process(unit)) {
        return true;
    }
    std::vector<const View::Unit*> level;
    std::vector<const View::Unit*> next;
    auto addElement = MakeProcessor<const View::Unit>([&](const View::Unit& element) {
        next.push_back(&element);
        return false;
    });
    auto addProperty = MakeProcessor<const View::Property>([&](const View::Property& property) {
        next.push_back(&property.GetValue());
        return false;
    });
    const auto addMembers = [&](const View::Unit& current) {
        if (const View::CompositeValue* composite = Detail::CompositeOf(current)) {
            composite->ForEach(addProperty);
        } else if (const View::ArrayValue* array = Detail::ArrayOf(current)) {
            array->ForEach(addElement);
        }
    };
    addMembers(unit);
    while (!next.empty()) {
        level = std::move(next);
        next.clear();
        for (const View::Unit* current : level) {
            if (processor.Process(*current)) {
                return true;
            }
            addMembers(*current);
        }
    }
    return false;
}

}  // namespace Zaph::Util
