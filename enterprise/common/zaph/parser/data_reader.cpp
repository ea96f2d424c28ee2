#include "enterprise/common/zaph/parser/data_reader.h"

#include "core/common/text.h"

namespace Utils {

void InMemoryDataReader::ReadData(std::vector<uint8_t>& bytes) {
    // An unpaired surrogate cannot come from decoded UTF-8; should one be there, it is handed
    // on as U+FFFD rather than refused.
    const std::string narrow = Common::ToUtf8(text_);
    bytes.assign(narrow.begin(), narrow.end());
}

}  // namespace Utils
