// Zaph::Object<H>: the in-memory unit, a value holder H (holders.h) paired with a trait set.
//
// The three Accept operations call the visitor's Visit overload for the holder's kind, passing
// the holder as the value interface of the visitor's layer. Destroying the unit destroys the
// trait set first, then the holder. Units live in the unit memory pool (unit_memory.h).
//
// Thread-safety: as view.h.
#pragma once

#include <utility>

#include "enterprise/common/zaph/holders.h"
#include "enterprise/common/zaph/trait_holders.h"
#include "enterprise/common/zaph/unit_memory.h"

namespace Zaph {

template <class H>
class Object final : public Construction::Unit, public Detail::PooledObject {
  public:
    template <class... Args>
    explicit Object(Args&&... args) : holder_(std::forward<Args>(args)...) {}

    void Accept(View::UnitReader& reader) const override { reader.Visit(holder_); }
    void Accept(Modification::UnitWriter& writer) override { writer.Visit(holder_); }
    void Accept(Construction::UnitBuilder& builder) override { builder.Visit(holder_); }
    const View::Traits& GetTraits() const override { return traits_; }
    Construction::Traits& GetTraits() override { return traits_; }

  private:
    H holder_;
    // Declared after the holder so that it is destroyed first.
    TraitsHolder traits_;
};

}  // namespace Zaph
