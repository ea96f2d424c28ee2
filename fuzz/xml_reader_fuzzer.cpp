// Reads arbitrary bytes as an XML document, with small limits so that the bounds are reached.

#include <cstdint>
#include <string_view>

#include "core/common/error/error.h"
#include "core/xml/document.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Xml::ReadLimits limits;
    limits.maxDepth = 64;
    limits.maxBytes = 1 << 16;
    try {
        const Xml::Document document = Xml::Document::Parse(
            std::string_view(reinterpret_cast<const char*>(data), size), limits);
        (void)document.Root().FindAttribute("version");
    } catch (const Common::Error& error) {
        if (error.Code() != Xml::kXmlMalformed) {
            __builtin_trap();
        }
    }
    return 0;
}
