#include "core/common/error/error.h"

#include <cerrno>
#include <string>

#include "core/common/error/error_record.h"

namespace Common {

using Detail::Release;
using Detail::Retain;

namespace {

// A message is stored as a text ended by NUL, so a NUL inside it (a byte of the input that an
// error quotes) would silently cut it short: such a NUL is kept visible as "\0" instead.
template <class Char>
std::basic_string_view<Char> WithoutNul(std::basic_string_view<Char> message,
                                        std::basic_string<Char>& escaped) {
    if (message.find(Char(0)) == std::basic_string_view<Char>::npos) {
        return message;
    }
    for (Char c : message) {
        if (c == Char(0)) {
            escaped.push_back(Char('\\'));
            escaped.push_back(Char('0'));
        } else {
            escaped.push_back(c);
        }
    }
    return escaped;
}

}  // namespace

Error::Error(const SourceLocation& place, uint32_t code)
    : head_(code == 0 ? nullptr : Detail::MakePlainRecord(place, code)) {}

Error::Error(const SourceLocation& place, uint32_t code, std::string_view message) {
    std::string escaped;
    head_ =
        code == 0 ? nullptr : Detail::MakeNarrowRecord(place, code, WithoutNul(message, escaped));
}

Error::Error(const SourceLocation& place, uint32_t code, std::u16string_view message) {
    std::u16string escaped;
    head_ = code == 0 ? nullptr : Detail::MakeWideRecord(place, code, WithoutNul(message, escaped));
}

Error::Error(const SourceLocation& place, uint32_t code, const ErrorFieldKind& kind,
             std::u16string_view message, std::initializer_list<ErrorFieldValue> values) {
    std::u16string escaped;
    head_ = code == 0
                ? nullptr
                : Detail::MakeFieldRecord(place, code, kind, WithoutNul(message, escaped), values);
}

Error::Error(const Error& other) noexcept : head_(other.head_) {
    Retain(head_);
}

Error& Error::operator=(const Error& other) noexcept {
    if (this != &other) {
        Retain(other.head_);
        Release(head_);
        head_ = other.head_;
    }
    return *this;
}

Error& Error::operator=(Error&& other) noexcept {
    if (this != &other) {
        Release(head_);
        head_ = other.head_;
        other.head_ = nullptr;
    }
    return *this;
}

Error::~Error() {
    Release(head_);
}

uint32_t Error::Code() const noexcept {
    return head_ != nullptr ? head_->code : 0;
}

Error Error::Reason() const noexcept {
    if (head_ == nullptr || head_->reason == nullptr) {
        return Error();
    }
    Retain(head_->reason);
    return Error(head_->reason);
}

SourceLocation Error::Place() const noexcept {
    return head_ != nullptr ? head_->place : SourceLocation{};
}

std::u16string Error::Message() const {
    std::u16string text;
    if (head_ != nullptr) {
        head_->ops->text(head_, text);
    }
    return text;
}

const char* Error::FieldNames() const noexcept {
    return head_ != nullptr ? head_->ops->names(head_) : "";
}

int64_t Error::NumberField(const char* name) const noexcept {
    return head_ != nullptr ? head_->ops->number(head_, name) : 0;
}

const char* Error::NarrowField(const char* name) const noexcept {
    return head_ != nullptr ? head_->ops->narrow(head_, name) : nullptr;
}

const char16_t* Error::WideField(const char* name) const noexcept {
    return head_ != nullptr ? head_->ops->wide(head_, name) : nullptr;
}

Error& Error::Add(const Error& reason) {
    ErrorRecord* added = reason.head_;
    if (head_ == nullptr) {
        Retain(added);
        head_ = added;
        return *this;
    }
    // A head held only here can take the reason in place, unless it is being made its own reason.
    if (Detail::RefsOf(head_).load() == 1 && added != head_) {
        Retain(added);
        Release(head_->reason);
        head_->reason = added;
        return *this;
    }
    ErrorRecord* clone = head_->ops->clone(head_);
    if (clone == nullptr) {
        return *this;
    }
    Retain(added);
    clone->reason = added;
    Release(head_);
    head_ = clone;
    return *this;
}

Error& Error::AddHResult(uint32_t hr) {
    return Add(Error(Detail::MakeSystemCodeRecord(
        COMMON_PLACE_TAG(0xbd28fdbd64edb902, "Common::Error::AddHResult"), hr)));
}

Error& Error::AddNTStatus(uint32_t status) {
    return Add(Error(Detail::MakeSystemCodeRecord(
        COMMON_PLACE_TAG(0xbd28fdbd64edb90c, "Common::Error::AddNTStatus"), status | 0x10000000)));
}

Error& Error::AddWindowsError(uint32_t e) {
    const uint32_t packed = static_cast<int32_t>(e) <= 0 ? e : (e & 0xFFFF) | 0x80070000;
    return Add(Error(Detail::MakeSystemCodeRecord(
        COMMON_PLACE_TAG(0xbd28fdbd64edb8f8, "Common::Error::AddWindowsError"), packed)));
}

Error LastSystemError(const SourceLocation& place, uint32_t code) {
    const int lastError = errno;
    return Error(place, code).AddWindowsError(static_cast<uint32_t>(lastError));
}

}  // namespace Common
