// Core::EntryPoint: names the code that asks the data-management layer for data.
//
// Every post-office operation takes one; remote post offices copy it into the query so that a
// service can tell who asked. Thread-safety: a plain value.
#pragma once

#include <cstdint>
#include <string>

#include "core/common/source_location.h"

namespace Core {

/// The caller of a post-office operation.
struct EntryPoint {
    /// The caller's own line tag.
    Common::LineTag ID = 0;
    /// The caller's source file, repository-relative.
    std::string File;
    /// The caller's line.
    uint32_t Line = 0;
    /// Context of the caller's choosing; copied along, never read by the client.
    uint64_t Context = 0;
};

}  // namespace Core
