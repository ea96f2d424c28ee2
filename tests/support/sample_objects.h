// KivoTestSupport sample objects: GUIDs from their text, objects keyed by a GUID, patterns that
// select a type, and the printed value of a property, for the tests of the store and of the
// libraries that serve its objects.
//
// Thread-safety: the functions keep no state; the units they make may be shared once made.
#pragma once

#include <string>
#include <string_view>

#include "core/common/guid.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/common/zaph/trace_unit.h"
#include "enterprise/common/zaph/view.h"

namespace KivoTestSupport {

/// A Guid from its text form.
[[nodiscard]] inline Common::Guid MakeGuid(const char* text) {
    Common::Guid guid;
    GuidFromString(text, guid);
    return guid;
}

/// An object keyed by a GUID: {PrimaryKey: guid, Is: type} with a Name and a Count.
[[nodiscard]] inline Zaph::View::SharedUnitPtr GuidObject(const Common::Guid& guid,
                                                          std::u16string_view type,
                                                          std::u16string_view name,
                                                          uint32_t count = 0) {
    using namespace ZaphTest;
    return Zaph::View::SharedUnitPtr(
        WithTrait(WithTrait(Composite(Prop{"Name", Str(name)}, Prop{"Count", DWord(count)}),
                            "PrimaryKey", Factory().CreateGuid(guid)),
                  "Is", Str(type)));
}

/// A pattern {Is: type}, or the Nil pattern that selects everything for an empty type.
[[nodiscard]] inline Zaph::View::SharedUnitPtr TypePattern(std::u16string_view type) {
    if (type.empty())
        return Zaph::View::SharedUnitPtr(ZaphTest::Nil());
    return Zaph::View::SharedUnitPtr(
        ZaphTest::WithTrait(ZaphTest::Composite(), "Is", ZaphTest::Str(type)));
}

/// The printed value of the first property `name` of `unit`, "" when there is none.
[[nodiscard]] inline std::string PropertyText(const Zaph::View::SharedUnitPtr& unit,
                                              const std::string& name) {
    const std::string printout = Zaph::Util::TraceUnitToString(*unit, "", true);
    const size_t at = printout.find(name + " (");
    if (at == std::string::npos)
        return "";
    const size_t value = printout.find(" = ", at) + 3;
    return printout.substr(value, printout.find('\n', value) - value);
}

}  // namespace KivoTestSupport
