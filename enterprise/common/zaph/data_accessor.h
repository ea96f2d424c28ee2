// Data accessors: chained lookups of properties by name, with the "not found" error deferred to
// the moment a unit is actually read.
//
//   ConstDataAccessor root(shared);               // a published unit
//   uint32_t port = root["Server"]["Port"].GetValue<uint32_t>();
//   if (root["Options"].IsValid()) ...
//
// An accessor points at a unit, or at nothing after a lookup that failed (the current unit is
// not a composite, or has no property of that name); it then remembers the name that failed, and
// every further lookup points at nothing too. Reading the unit of an accessor that points at
// nothing raises:
//   ConstDataAccessor  "ZAPH: Element '{0}' cannot be found." (Errors::kElementNotFound) with the
//                      name, followed, when there is a root, by "Unit: " and the trace printout
//                      of the root (trace_unit.h), cut off after kMaxQuotedUnitText characters
//   DataAccessor       "ZAPH: The array element cannot be found." (Errors::kArrayElementNotFound)
// Typed reads raise the structure type mismatch for a value of another kind (value_access.h).
//
// An accessor shares the owner of the root unit, so the tree lives as long as any accessor into
// it; lookups copy no unit and raise nothing.
//
// Thread-safety: as the units read; an accessor is a plain value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "enterprise/common/zaph/construction.h"
#include "enterprise/common/zaph/value_access.h"

namespace Zaph {
namespace Errors {

/// A DataAccessor that points at nothing was read.
inline constexpr uint32_t kArrayElementNotFound = 0xFA0016;
/// A ConstDataAccessor that points at nothing was read.
inline constexpr uint32_t kElementNotFound = 0xFA0020;

}  // namespace Errors

namespace Util {

/// The most characters of a unit printout quoted in the error of a ConstDataAccessor.
inline constexpr size_t kMaxQuotedUnitText = 4096;

/// An accessor over units of type U: const View::Unit or Construction::Unit.
template <class U>
class BasicDataAccessor {
  public:
    /// Points at nothing.
    BasicDataAccessor() = default;
    /// Points at the root that `root` owns.
    explicit BasicDataAccessor(std::shared_ptr<U> root) : root_(std::move(root)) {
        unit_ = root_.get();
    }
    /// Points at `unit`, a unit inside the tree that `root` owns.
    BasicDataAccessor(std::shared_ptr<U> root, U& unit) : root_(std::move(root)), unit_(&unit) {}

    /// An accessor to the property `name` of the current unit; see the file comment.
    BasicDataAccessor operator[](const Name& name) const;

    /// True while the accessor points at a unit.
    bool IsValid() const { return unit_ != nullptr; }
    /// Raises the error of the file comment unless the accessor points at a unit.
    void EnsureUnitIsValid() const;
    /// The unit; raises as EnsureUnitIsValid.
    U& GetUnit() const {
        EnsureUnitIsValid();
        return *unit_;
    }
    /// The value of kind T (value_access.h); raises as EnsureUnitIsValid or on another kind.
    template <class T>
    decltype(auto) GetValue() const {
        return Util::GetValue<T>(GetUnit());
    }

  private:
    std::shared_ptr<U> root_;
    U* unit_ = nullptr;
    // The name whose lookup failed.
    Name missing_;
};

extern template class BasicDataAccessor<const View::Unit>;
extern template class BasicDataAccessor<Construction::Unit>;

/// Over read-only units.
using ConstDataAccessor = BasicDataAccessor<const View::Unit>;
/// Over units under construction.
using DataAccessor = BasicDataAccessor<Construction::Unit>;

}  // namespace Util
}  // namespace Zaph
