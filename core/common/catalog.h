// The message catalogue: every user-visible text of the program, looked up by index.
//
// Thread-safety: lookups may run on any thread.
#pragma once

#include <cstdint>

namespace Common {

/// Indices of the catalogue messages that the code names.
enum MessageId : uint32_t {
    kMsgSuccess = 0,
    kMsgErrorHeader = 1,
    kMsgErrorReasonHeader = 2,
    kMsgLine = 3,
    kMsgFile = 4,
    kMsgFunction = 5,
    kMsgAsyncInvalidResult = 6,
    kMsgAsyncCanceled = 7,
    kMsgErrorBytesMalformed = 8,
};

/// The UTF-16 text of a message; an empty text for an index outside the catalogue.
const char16_t* GetCatalogMessage(uint32_t index);

/// True when `pointer` lies inside the catalogue, whose texts live for the whole process.
bool IsCatalogText(const void* pointer);

}  // namespace Common
