// The byte form of errors: writing, and reading bytes that came from a peer.

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/common/catalog.h"
#include "core/common/error/error_record.h"
#include "core/common/text.h"

namespace Common {
namespace {

constexpr uint8_t kFormatVersion = 0x01;

// Bounds on what a peer can make us hold.
constexpr size_t kMaxBlobSize = 16u << 20;
constexpr size_t kMaxRecords = 1024;
constexpr size_t kMaxFieldsPerRecord = 1024;
constexpr size_t kMaxInternedTexts = 4096;
constexpr size_t kMaxInternedBytes = 1u << 20;
constexpr size_t kMaxInternedLength = 4096;

// ---- writing -----------------------------------------------------------------------------------

class Writer {
  public:
    explicit Writer(ByteBuffer& buffer) : buffer_(buffer) {}

    bool Bytes(const void* data, size_t length) {
        ok_ = ok_ && buffer_.Append(data, length);
        return ok_;
    }
    bool Byte(uint8_t value) { return Bytes(&value, 1); }
    template <typename T>
    bool Integer(T value) {
        uint8_t bytes[sizeof(T)];
        for (size_t i = 0; i < sizeof(T); ++i) {
            bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
        }
        return Bytes(bytes, sizeof bytes);
    }
    bool Text(std::string_view text) { return Bytes(text.data(), text.size()) && Byte(0); }
    bool ok() const { return ok_; }

  private:
    ByteBuffer& buffer_;
    bool ok_ = true;
};

void WriteRecord(const ErrorRecord* record, Writer& out) {
    out.Integer<uint32_t>(record->code);
    out.Integer<uint64_t>(record->place.tag);
    std::u16string message;
    record->ops->text(record, message);
    out.Text(ToUtf8(message));
    std::string_view names = record->ops->names(record);
    while (!names.empty() && out.ok()) {
        const size_t comma = names.find(',');
        const std::string name(names.substr(0, comma));
        out.Text(name);
        if (const char* narrow = record->ops->narrow(record, name.c_str())) {
            out.Byte('A') && out.Text(narrow);
        } else if (const char16_t* wide = record->ops->wide(record, name.c_str())) {
            out.Byte('W') && out.Text(ToUtf8(wide));
        } else {
            out.Byte('N') && out.Integer<int64_t>(record->ops->number(record, name.c_str()));
        }
        names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
    }
    if (record->place.file != nullptr) {
        out.Text("$file") && out.Byte('A') && out.Text(record->place.file);
    }
    if (record->place.function != nullptr) {
        out.Text("$func") && out.Byte('A') && out.Text(record->place.function);
    }
    if (record->place.line != 0) {
        out.Text("$line") && out.Byte('N') && out.Integer<int64_t>(record->place.line);
    }
    out.Byte(0);
}

// ---- interning of file and function names ------------------------------------------------------

// One heap copy of each distinct file or function name read from peers, kept for the life of the
// process because records point to it. Bounded: past the bound a name stays a plain field.
class InternSet {
  public:
    const char* Find(const std::string& text) {
        std::lock_guard<std::mutex> hold(lock_);
        auto found = texts_.find(text);
        if (found != texts_.end()) {
            return found->c_str();
        }
        if (text.size() > kMaxInternedLength || texts_.size() >= kMaxInternedTexts ||
            bytes_ + text.size() > kMaxInternedBytes) {
            return nullptr;
        }
        bytes_ += text.size();
        return texts_.insert(text).first->c_str();
    }

  private:
    std::mutex lock_;
    std::unordered_set<std::string> texts_;
    size_t bytes_ = 0;
};

InternSet& Interned() {
    static auto* set = new InternSet;  // never destroyed: records may outlive static teardown
    return *set;
}

// ---- reading -----------------------------------------------------------------------------------

struct ParsedRecord {
    uint32_t code = 0;
    SourceLocation place;
    std::u16string message;
    std::vector<Detail::PackedField> fields;
};

class Reader {
  public:
    Reader(const uint8_t* data, size_t length) : data_(data), end_(data + length) {}

    size_t Remaining() const { return static_cast<size_t>(end_ - data_); }

    template <typename T>
    bool Integer(T& value) {
        if (Remaining() < sizeof(T)) {
            return false;
        }
        uint64_t bits = 0;
        for (size_t i = 0; i < sizeof(T); ++i) {
            bits |= static_cast<uint64_t>(data_[i]) << (8 * i);
        }
        value = static_cast<T>(bits);
        data_ += sizeof(T);
        return true;
    }
    bool Byte(uint8_t& value) { return Integer(value); }
    bool Text(std::string& text) {
        const void* terminator = std::memchr(data_, 0, Remaining());
        if (terminator == nullptr) {
            return false;
        }
        const auto* stop = static_cast<const uint8_t*>(terminator);
        text.assign(reinterpret_cast<const char*>(data_), static_cast<size_t>(stop - data_));
        data_ = stop + 1;
        return true;
    }

  private:
    const uint8_t* data_;
    const uint8_t* end_;
};

// Reads one field after its name; false on a malformed field.
bool ReadField(Reader& in, std::string name, ParsedRecord& record) {
    uint8_t type;
    if (!in.Byte(type)) {
        return false;
    }
    Detail::PackedField field{std::move(name), static_cast<char>(type), {}, {}, 0};
    if (type == 'A' || type == 'W') {
        std::string text;
        if (!in.Text(text)) {
            return false;
        }
        if (type == 'W') {
            Utf8ToUtf16(text, field.wide);
        } else {
            field.narrow = std::move(text);
        }
    } else if (type == 'N') {
        if (!in.Integer(field.number)) {
            return false;
        }
    } else {
        return false;
    }
    if (field.type == 'A' && (field.name == "$file" || field.name == "$func")) {
        if (const char* interned = Interned().Find(field.narrow)) {
            (field.name == "$file" ? record.place.file : record.place.function) = interned;
            return true;
        }
    } else if (field.type == 'N' && field.name == "$line") {
        record.place.line = static_cast<uint32_t>(field.number);
        return true;
    }
    record.fields.push_back(std::move(field));
    return true;
}

// Reads one record whose code is already read; false on a malformed record.
bool ReadRecord(Reader& in, ParsedRecord& record) {
    std::string message;
    if (!in.Integer(record.place.tag) || !in.Text(message)) {
        return false;
    }
    Utf8ToUtf16(message, record.message);
    for (;;) {
        std::string name;
        if (!in.Text(name)) {
            return false;
        }
        if (name.empty()) {
            return true;
        }
        // A comma would split the record's names list.
        if (name.find(',') != std::string::npos || record.fields.size() >= kMaxFieldsPerRecord ||
            !ReadField(in, std::move(name), record)) {
            return false;
        }
    }
}

Error Malformed(const Error& completed) {
    Error error(COMMON_PLACE("Common::Error::Deserialize"), kErrorBytesMalformed,
                GetCatalogMessage(kMsgErrorBytesMalformed));
    return error.Add(completed);
}

}  // namespace

bool Error::Serialize(ByteBuffer& buffer) const {
    Writer out(buffer);
    out.Byte(kFormatVersion);
    for (const ErrorRecord* record = head_; record != nullptr && out.ok();
         record = record->reason) {
        WriteRecord(record, out);
    }
    return out.ok();
}

Error Error::Deserialize(const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (length == 1 && bytes[0] == kFormatVersion) {
        return Error();
    }
    if (length < 13 || bytes[0] != kFormatVersion || length > kMaxBlobSize) {
        return Malformed(Error());
    }
    Reader in(bytes + 1, length - 1);
    std::vector<ParsedRecord> records;
    bool sound = true;
    while (in.Remaining() > 0) {
        ParsedRecord record;
        if (records.size() >= kMaxRecords || !in.Integer(record.code)) {
            sound = false;
            break;
        }
        if (record.code == 0) {
            break;  // an explicit end of the chain
        }
        if (!ReadRecord(in, record)) {
            sound = false;
            break;
        }
        records.push_back(std::move(record));
    }
    // Link from the innermost record outwards; each record is the reason of the one before.
    Error chain;
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        ErrorRecord* packed =
            Detail::MakePackedRecord(record->code, record->place, record->message, record->fields);
        if (packed == nullptr) {
            chain = Error();
            sound = false;
            continue;
        }
        Error link(packed);
        chain = link.Add(chain);
    }
    return sound ? chain : Malformed(chain);
}

}  // namespace Common
