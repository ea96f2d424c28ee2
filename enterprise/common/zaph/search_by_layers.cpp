#include "enterprise/common/zaph/search_by_layers.h"

#include <utility>
#include <vector>

#include "enterprise/common/zaph/container_access.h"

namespace Zaph::Util {

bool SearchByLayers(const View::Unit& unit, ItemProcessor<const View::Unit>& processor) {
    std::vector<const View::Unit*> level{&unit};
    std::vector<const View::Unit*> next;
    auto addElement = MakeProcessor<const View::Unit>([&](const View::Unit& element) {
        next.push_back(&element);
        return false;
    });
    auto addProperty = MakeProcessor<const View::Property>([&](const View::Property& property) {
        next.push_back(&property.GetValue());
        return false;
    });
    while (!level.empty()) {
        for (const View::Unit* current : level) {
            if (processor.Process(*current)) {
                return true;
            }
            if (const View::CompositeValue* composite = Detail::CompositeOf(*current)) {
                composite->ForEach(addProperty);
            } else if (const View::ArrayValue* array = Detail::ArrayOf(*current)) {
                array->ForEach(addElement);
            }
        }
        level = std::move(next);
        next.clear();
    }
    return false;
}

}  // namespace Zaph::Util
