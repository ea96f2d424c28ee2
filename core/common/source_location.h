// Where an error or an assertion was raised.
//
// Every raise site records four things: a 64-bit line tag of its own, its source file (a
// repository-relative path: the build maps the source root away with -fmacro-prefix-map), its
// qualified function name, written out literally at the site, and its line.
//
//   throw Common::Error(COMMON_PLACE_TAG(0x6abee2a2b4b081db, "Zaph::Foo::Bar"), code);
//   throw Common::Error(COMMON_PLACE("Zaph::Foo::Bar"), code);
//
// COMMON_PLACE derives the tag from the file and line at compile time, so it is unique per site;
// COMMON_PLACE_TAG is for the sites whose tag is fixed by outside agreement.
//
// Thread-safety: plain values of static texts; safe everywhere.
#pragma once

#include <cstdint>

namespace Common {

/// The 64-bit constant that identifies one raise site; printed as the "line" of an error.
using LineTag = uint64_t;

/// A raise site: tag, static file text, static function text, line (0 for none).
struct SourceLocation {
    LineTag tag = 0;
    const char* file = nullptr;
    const char* function = nullptr;
    uint32_t line = 0;
};

/// FNV-1a of the file name, mixed with the line: a compile-time tag unique per source line.
consteval LineTag MakeLineTag(const char* file, uint32_t line) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char* p = file; *p != '\0'; ++p) {
        hash = (hash ^ static_cast<unsigned char>(*p)) * 0x100000001b3ULL;
    }
    hash ^= line;
    hash *= 0x100000001b3ULL;
    // A final avalanche so that neighbouring lines give unrelated tags.
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdULL;
    hash ^= hash >> 33;
    return hash;
}

}  // namespace Common

/// The place of the current line with a fixed tag.
#define COMMON_PLACE_TAG(tag, function) \
    (::Common::SourceLocation{(tag), __FILE__, (function), static_cast<uint32_t>(__LINE__)})

/// The place of the current line with a tag derived from file and line.
#define COMMON_PLACE(function)                                                                 \
    (::Common::SourceLocation{::Common::MakeLineTag(__FILE__, __LINE__), __FILE__, (function), \
                              static_cast<uint32_t>(__LINE__)})
