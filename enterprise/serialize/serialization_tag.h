// The descriptor that names every value and section of a packet, and its metadata entries.
//
// A tag names one element of a packet. Its version is written as the element's "version"
// attribute when non-zero; its two metadata lists, when present, are written as a "traits"
// section at the end of the element. A section version other than 0 makes the tag exist only
// for writers whose section-version filter is that value (see XMLPacketSerializer).
//
// Thread-safety: plain values; the metadata lists are shared read-only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Serialization {

/// One metadata entry of a tag: a name, a type name and a value, all narrow text.
struct MetaInfoTrait {
    std::string name;
    std::string type;
    std::string value;
};

/// A shared, read-only list of metadata entries.
using MetaInfo = std::shared_ptr<const std::vector<MetaInfoTrait>>;

/// Names one element of a packet; a tag with an empty name writes and reads nothing.
struct SerializationTag {
    std::string name;
    /// Written as the "version" attribute when non-zero.
    uint64_t version = 0;
    /// Metadata written in the element's "traits" section: first this list, then `moreTraits`.
    MetaInfo traits;
    MetaInfo moreTraits;
    /// When set, a reader takes the element at its cursor and does not look for it by name.
    bool ordered = false;
    /// 0, or the section-version filter value for which this tag exists.
    uint32_t sectionVersion = 0;
    /// The version written instead of `version` when `sectionVersion` matches the filter.
    uint64_t writtenVersion = 0;

    SerializationTag() = default;
    /// A plain tag: a name and nothing else.
    explicit SerializationTag(std::string tagName) : name(std::move(tagName)) {}
    /// The same from a literal, so that calls can name a plain tag directly.
    SerializationTag(const char* tagName) : name(tagName) {}
};

}  // namespace Serialization
