// KivoTestSupport::TemporaryFolder: a folder of a test's own under TMPDIR (/tmp when it is not
// set), removed with everything in it when the object goes.
//
// Thread-safety: the object is made and destroyed on one thread; its paths may be used anywhere.
#pragma once

#include <string>
#include <vector>

namespace KivoTestSupport {

/// A new folder made with mkdtemp, removed with all it holds on destruction.
class TemporaryFolder {
  public:
    /// Makes <TMPDIR>/<prefix>XXXXXX; throws Common::Error when that fails.
    explicit TemporaryFolder(const std::string& prefix = "kivo_test_");
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    /// The folder.
    [[nodiscard]] const std::string& Path() const { return path_; }
    /// The path of `name` in the folder.
    [[nodiscard]] std::string File(const std::string& name) const { return path_ + "/" + name; }
    /// The same as a wide text, as the store's connection strings are.
    [[nodiscard]] std::u16string WideFile(const std::string& name) const;
    /// The names in the folder, sorted.
    [[nodiscard]] std::vector<std::string> Names() const;

  private:
    std::string path_;
};

}  // namespace KivoTestSupport
