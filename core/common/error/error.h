// Common::Error: the one error type of the system.
//
// An error is a counted pointer to an immutable chain of records, outermost first. Each record
// holds a code, the place it was raised (see source_location.h), an optional message and named
// fields (a NUL inside a message is kept as the two characters "\0", since the stored text ends
// at a NUL). An error whose head is null or has code 0 is empty and means success. Errors are
// returned by value (completion results, unit values) and thrown by value as the exception
// object; they are one pointer wide.
//
// Text form (ToText), one block per record until the end of the chain or a reason of code 0:
//
//   Error 0x14
//   | line: 0x26f045fa5950f445
//   | file: core/common/win/semaphore.cpp:175
//   | function: Semaphore::Semaphore
//   | $module: kivo_dump_vsa64_35791
//   |
//   | error 0xfff0: Permission denied
//   | line: 0xbd28fdbd64edb8f8
//   | ...
//
// Byte form (Serialize/Deserialize): version byte 0x01, then per record, little-endian: code
// (u32), tag (u64), the UTF-8 message with a 0 byte, fields (name, 0, then 'A' narrow text + 0,
// 'W' UTF-8 of a wide text + 0, or 'N' int64), "$file"/"$func" ('A') and "$line" ('N') when the
// place has them, and a 0 byte that ends the fields. Deserialize reads bytes from peers: it is
// bounded, and a malformed blob gives an error of code kErrorBytesMalformed whose reason holds
// the records read before the fault.
//
// System codes: AddWindowsError packs a positive system error e as 0x80070000 | (e & 0xFFFF);
// on this platform the system error is errno, so 0x8007xxxx reads back as errno xxxx and its
// text comes from strerror_r. Codes 0 to 0xFFFF are errno values too; other codes have no text.
//
// Thread-safety: an Error value is not synchronised, but the chain it points to is immutable
// once shared and reference-counted atomically, so copies may travel freely between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "core/common/buffer.h"
#include "core/common/source_location.h"

namespace Common {

struct ErrorRecord;

/// The module identity of the dump tool: what locally raised errors answer for the field
/// "$module" until the program names its own with SetModuleIdentity.
inline constexpr const char* kModuleIdentity = "kivo_dump_vsa64_35791";

/// The module identity that locally raised errors answer for the field "$module" (records read
/// back from a byte form keep the sender's).
[[nodiscard]] const char* ModuleIdentity();

/// Names the running program's module, so that its errors say which program raised them.
/// `identity` must live as long as the process (a literal). Called once at the start of main,
/// before any error is raised or thread started: records answer the identity of the moment they
/// are asked.
void SetModuleIdentity(const char* identity);

/// Code of the record that stands for a system code (errno, HRESULT, NT status).
inline constexpr uint32_t kSystemCodeError = 0xFFF0;
/// Code of the static record returned when a record cannot be allocated.
inline constexpr uint32_t kOutOfMemoryError = 0xFFF2;
/// Code of the error that Deserialize returns for a malformed byte form.
inline constexpr uint32_t kErrorBytesMalformed = 0xFFF3;
/// Code of an operation that was canceled: a job of the job framework, or a call of the IPC client
/// library ended early ("ASYNC: The operation has been canceled.").
inline constexpr uint32_t kCanceled = 0xF90002;

/// Type of a field of an extra-field kind.
enum class ErrorFieldType : uint8_t { Narrow, Wide, Number };

/// An extra-field kind: a fixed list of fields after an optional message. `names` is the
/// comma-separated list of the field names followed by "$module", for example
/// "TraceLevel,$module"; `types` has one entry per name before "$module".
struct ErrorFieldKind {
    const char* names;
    const ErrorFieldType* types;
    size_t count;
};

/// One value of an extra-field record, in the kind's field order.
struct ErrorFieldValue {
    ErrorFieldValue(std::string_view text) : narrow(text) {}
    ErrorFieldValue(const char* text) : narrow(text) {}
    ErrorFieldValue(std::u16string_view text) : wide(text) {}
    ErrorFieldValue(const char16_t* text) : wide(text) {}
    ErrorFieldValue(int64_t value) : number(value) {}

    std::string_view narrow;
    std::u16string_view wide;
    int64_t number = 0;
};

/// See the file comment. An error returned by value must be looked at: a caller that means to
/// drop one says so with Ignore() and a comment giving the reason.
class [[nodiscard]] Error {
  public:
    /// The empty error (success).
    Error() noexcept = default;
    /// A plain record; code 0 gives the empty error.
    Error(const SourceLocation& place, uint32_t code);
    /// A record with a narrow message (widened byte by byte when printed).
    Error(const SourceLocation& place, uint32_t code, std::string_view message);
    Error(const SourceLocation& place, uint32_t code, const char* message)
        : Error(place, code, std::string_view(message)) {}
    /// A record with a wide message. A catalogue text is referenced, any other copied.
    Error(const SourceLocation& place, uint32_t code, std::u16string_view message);
    Error(const SourceLocation& place, uint32_t code, const char16_t* message)
        : Error(place, code, std::u16string_view(message)) {}
    /// A record of an extra-field kind, with an optional wide message (empty: none).
    Error(const SourceLocation& place, uint32_t code, const ErrorFieldKind& kind,
          std::u16string_view message, std::initializer_list<ErrorFieldValue> values);

    Error(const Error& other) noexcept;
    Error(Error&& other) noexcept : head_(other.head_) { other.head_ = nullptr; }
    Error& operator=(const Error& other) noexcept;
    Error& operator=(Error&& other) noexcept;
    ~Error();

    /// The head's code; 0 for the empty error.
    uint32_t Code() const noexcept;
    /// True for success: no head, or a head of code 0.
    bool IsEmpty() const noexcept { return Code() == 0; }
    /// The error of the head's reason record (empty if none).
    Error Reason() const noexcept;
    /// Where the head was raised (all zero for the empty error).
    SourceLocation Place() const noexcept;
    /// The head's message (empty if none).
    std::u16string Message() const;
    /// The head's comma-separated field names ("" for the empty error).
    const char* FieldNames() const noexcept;
    /// The head's numeric field, 0 when it has none of that name.
    int64_t NumberField(const char* name) const noexcept;
    /// The head's narrow field, null when it has none of that name.
    const char* NarrowField(const char* name) const noexcept;
    /// The head's wide field, null when it has none of that name.
    const char16_t* WideField(const char* name) const noexcept;

    /// Makes `reason` the reason of this error's head and returns *this. A head shared with other
    /// errors is cloned first, so their chains do not change; if the clone cannot be made, this
    /// error stays as it was.
    Error& Add(const Error& reason);
    /// Adds a system-code record holding `hr`.
    Error& AddHResult(uint32_t hr);
    /// Adds a system-code record holding `status` with bit 28 set.
    Error& AddNTStatus(uint32_t status);
    /// Adds a system-code record of the system error `e` (packed as in the file comment).
    Error& AddWindowsError(uint32_t e);

    /// The text form of the file comment.
    std::u16string ToText() const;
    /// Appends the byte form to `buffer`; false when the buffer failed.
    bool Serialize(ByteBuffer& buffer) const;
    /// Reads a byte form; see the file comment for malformed input.
    static Error Deserialize(const void* data, size_t length);

    /// Drops this error on purpose; the call site says why nothing is lost.
    void Ignore() const noexcept {}

    /// Adopts a record that already carries the reference this error takes over.
    explicit Error(ErrorRecord* adopted) noexcept : head_(adopted) {}
    const ErrorRecord* Head() const noexcept { return head_; }

  private:
    ErrorRecord* head_ = nullptr;
};

/// An error of `code` at `place` whose reason is the calling thread's last system error (errno).
Error LastSystemError(const SourceLocation& place, uint32_t code);

}  // namespace Common
