// Helpers of the security library's tests: a temporary folder and whole-file reads and writes.
#pragma once

#include <sys/types.h>

#include <string>

namespace KivoSecurityTest {

/// A new folder under /tmp, removed with everything in it when the object goes.
class TemporaryFolder {
  public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    [[nodiscard]] const std::string& Path() const { return path_; }
    /// The folder's path joined with `name`.
    [[nodiscard]] std::string operator/(const std::string& name) const {
        return path_ + "/" + name;
    }

  private:
    std::string path_;
};

/// Writes `text` to `path` with `mode` (replacing the file); false on failure.
bool WriteFile(const std::string& path, const std::string& text, mode_t mode = 0600);

}  // namespace KivoSecurityTest
