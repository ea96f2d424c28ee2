// Base for interfaces and owners of resources: neither copied nor moved.
#pragma once

namespace Common {

/// Derive privately to forbid copies and moves of the derived class.
class NonCopyable {
  protected:
    NonCopyable() = default;
    ~NonCopyable() = default;

  public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;
};

}  // namespace Common
