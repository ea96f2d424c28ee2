// Typed objects whose state lives in a unit.
//
// A BaseObject reads and builds a branch of a unit tree: for a top-level object the root
// itself, for an object describing a part of a unit a construction unit inside it. Objects for
// parts of one unit share the root's owner. Each derived class sets, in its constructor, the
// function that makes the default contents of its type (DefaultValue).
//
//   Branch(), Factory() on an object without them  "ZAPH: There was an attempt to access an
//                                                  uninitialized object." (Errors::kGeneral)
//   DefaultValue() without a default-value function "ZAPH: An internal error has occurred."
//                                                  (Errors::kGeneral)
//
// Thread-safety: an object is used by one thread at a time, like its unit.
#pragma once

#include <memory>

#include "enterprise/common/zaph/error_handler.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace Serialization {

/// Marks objects that the packet layer may categorise; it carries nothing here.
class CategoryHolder {
  public:
    virtual ~CategoryHolder() = default;
};

}  // namespace Serialization

namespace Zaph {

/// An object whose state lives in a unit.
class PlainObject : private Common::NonCopyable {
  public:
    virtual ~PlainObject() = default;
    /// A deep copy of the object's branch, made with the object's factory.
    virtual Construction::UnitPtr Clone() const = 0;
    /// A new unit with the default contents of the object's type.
    virtual Construction::UnitPtr DefaultValue() const = 0;
};

class BaseObject : public PlainObject, public Serialization::CategoryHolder {
  public:
    /// Makes the default contents of a concrete class.
    using DefaultValueFunction = Construction::UnitPtr (*)(const BaseObject& object);

    /// What a BaseObject is made from.
    struct Context {
        /// The shared owner of the root unit.
        std::shared_ptr<Construction::Unit> root;
        /// The unit the object reads and builds (inside the root).
        Construction::Unit* branch = nullptr;
        Construction::UnitFactory* factory = nullptr;
        /// Null selects ThrowingErrorHandler.
        ErrorHandler* errorHandler = nullptr;

        /// A context for a new top-level object: `unit` moves into a new shared owner and
        /// becomes the branch.
        static Context ForNewObject(Construction::UnitPtr unit, Construction::UnitFactory& factory,
                                    ErrorHandler* errorHandler = nullptr);
    };

    explicit BaseObject(Context context);

    Construction::UnitPtr Clone() const override;
    Construction::UnitPtr DefaultValue() const override;

    /// The branch; raises when the object has none.
    Construction::Unit& Branch() const;
    /// The factory; raises when the object has none.
    Construction::UnitFactory& Factory() const;
    ErrorHandler& GetErrorHandler() const { return *errorHandler_; }
    /// A context for an object describing `branch`, a unit inside this object's root.
    Context ContextFor(Construction::Unit& branch) const;

  protected:
    /// Called by each derived class's constructor.
    void SetDefaultValueFunction(DefaultValueFunction function) { defaultValue_ = function; }

  private:
    std::shared_ptr<Construction::Unit> root_;
    Construction::Unit* branch_;
    Construction::UnitFactory* factory_;
    ErrorHandler* errorHandler_;
    DefaultValueFunction defaultValue_ = nullptr;
};

}  // namespace Zaph
