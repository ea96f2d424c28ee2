#include "tests/support/temporary_folder.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>

#include "core/common/error/error.h"

namespace KivoTestSupport {

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw Common::LastSystemError(
            COMMON_PLACE("KivoTestSupport::TemporaryFolder::TemporaryFolder"),
            Common::kSystemCodeError);
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::u16string TemporaryFolder::WideFile(const std::string& name) const {
    const std::string file = File(name);
    return std::u16string(file.begin(), file.end());
}

std::vector<std::string> TemporaryFolder::Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace KivoTestSupport
