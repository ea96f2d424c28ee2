// The text form of errors and the texts of system codes.

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/common/catalog.h"
#include "core/common/error/error_record.h"
#include "core/common/text.h"

namespace Common {
namespace {

std::u16string Hex(uint64_t value) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "0x%" PRIx64, value);
    return WidenBytes(digits);
}

// Continuation lines of a message or field value keep the block's "| " margin.
void AppendIndented(std::u16string_view text, std::u16string& out) {
    for (char16_t c : text) {
        if (c == u'\n') {
            out += u"\n| ";
        } else {
            out.push_back(c);
        }
    }
}

void AppendLabel(uint32_t labelId, std::u16string& out) {
    out += u"\n| ";
    out += GetCatalogMessage(labelId);
    out += u": ";
}

// The value of one named field: wide if present, else narrow as UTF-8, else the number.
std::u16string FieldValue(const ErrorRecord* record, const char* name) {
    if (const char16_t* wide = record->ops->wide(record, name)) {
        return wide;
    }
    if (const char* narrow = record->ops->narrow(record, name)) {
        return ToUtf16(narrow);
    }
    return Hex(static_cast<uint64_t>(record->ops->number(record, name)));
}

void AppendBlock(const ErrorRecord* record, std::u16string& out) {
    out += Hex(record->code);
    std::u16string text;
    record->ops->text(record, text);
    if (!text.empty()) {
        out += u": ";
        AppendIndented(text, out);
    }
    AppendLabel(kMsgLine, out);
    out += Hex(record->place.tag);
    if (record->place.file != nullptr) {
        AppendLabel(kMsgFile, out);
        out += WidenBytes(record->place.file);
        out += u":";
        out += WidenBytes(std::to_string(record->place.line));
    }
    if (record->place.function != nullptr) {
        AppendLabel(kMsgFunction, out);
        out += WidenBytes(record->place.function);
    }
    std::string_view names = record->ops->names(record);
    while (!names.empty()) {
        const size_t comma = names.find(',');
        const std::string name(names.substr(0, comma));
        out += u"\n| ";
        out += WidenBytes(name);
        out += u": ";
        AppendIndented(FieldValue(record, name.c_str()), out);
        names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
    }
}

// GNU and XSI strerror_r differ in their result type.
[[maybe_unused]] const char* PickErrorText(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* PickErrorText(const char* result, const char*) {
    return result;
}

}  // namespace

std::u16string Error::ToText() const {
    if (IsEmpty()) {
        return GetCatalogMessage(kMsgSuccess);
    }
    std::u16string out = GetCatalogMessage(kMsgErrorHeader);
    out += u' ';
    AppendBlock(head_, out);
    for (const ErrorRecord* reason = head_->reason; reason != nullptr && reason->code != 0;
         reason = reason->reason) {
        out += u"\n|\n| ";
        out += GetCatalogMessage(kMsgErrorReasonHeader);
        out += u' ';
        AppendBlock(reason, out);
    }
    return out;
}

namespace Detail {

std::u16string SystemCodeMessage(uint32_t code) {
    // NT statuses (bit 28) have no message table on this platform.
    if ((code & 0x10000000) != 0) {
        return {};
    }
    int errorNumber;
    if ((code & 0xFFFF0000) == 0x80070000) {
        errorNumber = static_cast<int>(code & 0xFFFF);
    } else if (code <= 0xFFFF) {
        errorNumber = static_cast<int>(code);
    } else {
        return {};
    }
    char buffer[256] = {};
    const char* found = PickErrorText(strerror_r(errorNumber, buffer, sizeof buffer), buffer);
    if (found == nullptr) {
        return {};
    }
    std::u16string text;
    for (char16_t c : ToUtf16(found)) {
        if (c != u'\r') {
            text.push_back(c);
        }
    }
    if (!text.empty() && text.back() == u'\n') {
        text.pop_back();
    }
    if (!text.empty() && text.back() == u'.' && text.find(u'\n') == std::u16string::npos) {
        text.pop_back();
    }
    return text;
}

}  // namespace Detail
}  // namespace Common
