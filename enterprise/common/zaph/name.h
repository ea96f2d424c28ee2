// Zaph::Name: the name of a trait or a property.
//
// A name is a narrow NUL-terminated text, case-sensitive, compared byte by byte as unsigned
// characters (the order of strcmp): "Z" sorts before "a", and a name sorts before every longer
// name that it prefixes. A name either owns a copy of its text or refers to a literal that
// outlives it; copying a referring name copies only the pointer. Names made for well-known
// property names also carry a 64-bit hash of their text (see ComputeHash); names made from
// plain text carry 0. Equality and order look at the text only.
//
// Thread-safety: a plain value; distinct names may be used on distinct threads.
#pragma once

#include <compare>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace Zaph {

/// See the file comment.
class Name {
  public:
    /// The empty name.
    Name() noexcept = default;
    /// A name owning a copy of `text` (up to its first NUL byte).
    Name(const char* text) : Name(text != nullptr ? std::string_view(text) : std::string_view()) {}
    Name(std::string_view text);
    Name(const std::string& text) : Name(std::string_view(text)) {}
    /// A name referring to `literal`, which must outlive it and every copy; hash 0.
    static Name Literal(const char* literal) noexcept { return Name(literal, 0); }
    /// A name referring to `literal` that carries its hash: for well-known names made once.
    static Name WellKnown(const char* literal) noexcept {
        return Name(literal, ComputeHash(literal));
    }

    Name(const Name& other);
    Name(Name&& other) noexcept;
    Name& operator=(const Name& other);
    Name& operator=(Name&& other) noexcept;
    ~Name() = default;

    /// The NUL-terminated text.
    const char* Text() const noexcept { return text_; }
    std::string_view View() const noexcept { return text_; }
    bool IsEmpty() const noexcept { return *text_ == '\0'; }
    /// The stored hash (0 unless made by WellKnown).
    uint64_t Hash() const noexcept { return hash_; }

    /// The hash rule over the bytes of `text` including its terminating NUL, starting from 0:
    /// h = h ^ (byte + 0x9e3779b9 + (h << 6) + (h >> 2)).
    static constexpr uint64_t ComputeHash(const char* text) noexcept {
        uint64_t hash = 0;
        const char* p = text;
        do {
            const uint64_t byte = static_cast<unsigned char>(*p);
            hash ^= byte + 0x9e3779b9ULL + (hash << 6) + (hash >> 2);
        } while (*p++ != '\0');
        return hash;
    }

    /// -1, 0 or 1 by the unsigned byte order of the texts.
    int Compare(const Name& other) const noexcept { return Compare(other.text_); }
    int Compare(const char* other) const noexcept {
        const int order = std::strcmp(text_, other);
        return (order > 0) - (order < 0);
    }

    friend bool operator==(const Name& a, const Name& b) noexcept { return a.Compare(b) == 0; }
    friend std::strong_ordering operator<=>(const Name& a, const Name& b) noexcept {
        return a.Compare(b) <=> 0;
    }

  private:
    Name(const char* literal, uint64_t hash) noexcept : text_(literal), hash_(hash) {}

    // Empty unless the name owns its text; text_ then points into it.
    std::string owned_;
    const char* text_ = "";
    uint64_t hash_ = 0;
};

}  // namespace Zaph
