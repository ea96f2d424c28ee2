// The objects that the store and service benchmarks write: disks keyed by a GUID made from their
// number, and the pattern that selects them all.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

#include "core/common/guid.h"
#include "enterprise/common/zaph/unit_builder.h"

namespace Bench {

/// Disk `number`: {PrimaryKey: its GUID, Is: "Disk"}, with a Name when `name` is not empty and a
/// Count when `count` is given.
inline Zaph::View::SharedUnitPtr Disk(uint32_t number, std::optional<uint32_t> count = std::nullopt,
                                      std::u16string_view name = {}) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-0000-0000-0000-00000000BE4C", number);
    Common::Guid guid;
    Common::GuidFromString(text, guid);
    Zaph::Util::FluentUnitBuilder builder(Zaph::Construction::DefaultUnitFactory());
    builder.Composite().Trait("PrimaryKey").Guid(guid).End().Trait("Is").String(u"Disk").End();
    if (!name.empty())
        builder.Property("Name").String(name).End();
    if (count)
        builder.Property("Count").DWord(*count).End();
    return Zaph::View::SharedUnitPtr(builder.End().TakeResult());
}

/// The pattern {Is: "Disk"}.
inline Zaph::View::SharedUnitPtr DiskPattern() {
    return Zaph::View::SharedUnitPtr(
        Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
            .Composite()
            .Trait("Is")
            .String(u"Disk")
            .End()
            .End()
            .TakeResult());
}

}  // namespace Bench
