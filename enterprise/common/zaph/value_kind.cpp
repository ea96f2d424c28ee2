#include "enterprise/common/zaph/value_kind.h"

#include <iterator>

namespace Zaph {
namespace {

const char* const kTypeNames[] = {
    "Nil",    "Boolean", "Byte", "SByte", "Word",   "SWord", "DWord", "SDWord",    "QWord",
    "SQWord", "Double",  "Blob", "Guid",  "String", "Error", "Array", "Composite",
};

const char16_t* const kMessageTypeNames[] = {
    u"nil",    u"boolean", u"byte", u"sbyte", u"word",   u"sword", u"dword", u"sdword",    u"qword",
    u"sqword", u"double",  u"blob", u"guid",  u"string", u"error", u"array", u"composite",
};

static_assert(std::size(kTypeNames) == TypeIndex::None);
static_assert(std::size(kMessageTypeNames) == TypeIndex::None);

}  // namespace

const char* TypeName(uint32_t index) {
    return index < TypeIndex::None ? kTypeNames[index] : "";
}

std::u16string MessageTypeName(uint32_t index) {
    if (index < TypeIndex::None) {
        return kMessageTypeNames[index];
    }
    std::u16string digits;
    do {
        digits.insert(digits.begin(), static_cast<char16_t>(u'0' + index % 10));
        index /= 10;
    } while (index != 0);
    return digits;
}

}  // namespace Zaph
