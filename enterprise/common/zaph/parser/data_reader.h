// Data readers: where a unit format takes the bytes of one input from, all at once.
//
//   DataReader          the interface
//   InMemoryDataReader  a text held in memory (pattern and options given on the command line),
//                       handed over as UTF-8
//   BytesReader         bytes already in memory (an input read earlier, a fuzzer's data),
//                       handed over as they are
//   FileReader          a whole file (file_io.h)
//
// A reader decides the bytes; it decodes nothing. The format interprets them.
//
// Thread-safety: a reader belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/noncopyable.h"

namespace Utils {

/// The source of the bytes of one input.
class DataReader : private Common::NonCopyable {
  public:
    virtual ~DataReader() = default;
    /// Replaces the content of `bytes` with every byte of the input. Raises Common::Error on
    /// failure, leaving `bytes` unchanged.
    virtual void ReadData(std::vector<uint8_t>& bytes) = 0;
};

/// A reader over a text held in memory: hands over its UTF-8 form. Never fails.
class InMemoryDataReader final : public DataReader {
  public:
    /// Copies `text`.
    explicit InMemoryDataReader(std::u16string text) : text_(std::move(text)) {}

    void ReadData(std::vector<uint8_t>& bytes) override;

  private:
    const std::u16string text_;
};

/// A reader over bytes held elsewhere, which must outlive it: hands them over unchanged. Never
/// fails.
class BytesReader final : public DataReader {
  public:
    explicit BytesReader(std::string_view bytes) : bytes_(bytes) {}

    void ReadData(std::vector<uint8_t>& bytes) override {
        bytes.assign(bytes_.begin(), bytes_.end());
    }

  private:
    const std::string_view bytes_;
};

}  // namespace Utils
