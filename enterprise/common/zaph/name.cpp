#include "enterprise/common/zaph/name.h"

#include <utility>

namespace Zaph {

Name::Name(std::string_view text) : owned_(text.substr(0, text.find('\0'))) {
    // An owned empty text is the same as the literal "", which needs no storage.
    text_ = owned_.empty() ? "" : owned_.c_str();
}

Name::Name(const Name& other) : owned_(other.owned_), hash_(other.hash_) {
    text_ = owned_.empty() ? other.text_ : owned_.c_str();
}

Name::Name(Name&& other) noexcept : owned_(std::move(other.owned_)), hash_(other.hash_) {
    text_ = owned_.empty() ? other.text_ : owned_.c_str();
    other.owned_.clear();
    other.text_ = "";
    other.hash_ = 0;
}

Name& Name::operator=(const Name& other) {
    if (this != &other) {
        owned_ = other.owned_;
        text_ = owned_.empty() ? other.text_ : owned_.c_str();
        hash_ = other.hash_;
    }
    return *this;
}

Name& Name::operator=(Name&& other) noexcept {
    if (this != &other) {
        owned_ = std::move(other.owned_);
        text_ = owned_.empty() ? other.text_ : owned_.c_str();
        hash_ = other.hash_;
        other.owned_.clear();
        other.text_ = "";
        other.hash_ = 0;
    }
    return *this;
}

}  // namespace Zaph
