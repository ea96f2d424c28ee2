#include "core/common/catalog.h"

#include <iterator>

namespace Common {
namespace {

const char16_t* const kMessages[] = {
    u"Success",
    u"Error",
    u"error",
    u"line",
    u"file",
    u"function",
    u"ASYNC: The operation result is invalid.",
    u"ASYNC: The operation has been canceled.",
    u"The byte form of an error is malformed.",
};

}  // namespace

const char16_t* GetCatalogMessage(uint32_t index) {
    return index < std::size(kMessages) ? kMessages[index] : u"";
}

bool IsCatalogText(const void* pointer) {
    for (const char16_t* message : kMessages) {
        if (pointer == message) {
            return true;
        }
    }
    return false;
}

}  // namespace Common
