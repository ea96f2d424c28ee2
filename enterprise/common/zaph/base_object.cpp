#include "enterprise/common/zaph/base_object.h"

#include <utility>

#include "core/common/catalog.h"
#include "enterprise/common/zaph/copy_unit.h"
#include "enterprise/common/zaph/errors.h"

namespace Zaph {

ThrowingErrorHandler& ThrowingErrorHandler::Instance() {
    static ThrowingErrorHandler instance;
    return instance;
}

void ThrowingErrorHandler::PropertyNotFound(std::u16string_view path) {
    throw Detail::MakeError(COMMON_PLACE("Zaph::ThrowingErrorHandler::PropertyNotFound"),
                            Errors::kPropertyNotFound, Common::kMsgZaphPropertyNotFound, {path});
}

void ThrowingErrorHandler::PropertyTypeMismatch(std::u16string_view path, uint32_t expected,
                                                uint32_t actual) {
    throw Util::Detail::MakePropertyTypeMismatchError(path, expected, actual);
}

void ThrowingErrorHandler::PropertyProcessingError(std::u16string_view path,
                                                   const Common::Error& cause) {
    ModuleError error =
        Detail::MakeError(COMMON_PLACE("Zaph::ThrowingErrorHandler::PropertyProcessingError"),
                          Errors::kGeneral, Common::kMsgZaphPropertyProcessingError, {path});
    error.Add(cause);
    throw error;
}

BaseObject::Context BaseObject::Context::ForNewObject(Construction::UnitPtr unit,
                                                      Construction::UnitFactory& factory,
                                                      ErrorHandler* errorHandler) {
    Context context;
    context.branch = unit.get();
    context.root = std::move(unit);
    context.factory = &factory;
    context.errorHandler = errorHandler;
    return context;
}

BaseObject::BaseObject(Context context)
    : root_(std::move(context.root)),
      branch_(context.branch),
      factory_(context.factory),
      errorHandler_(context.errorHandler != nullptr ? context.errorHandler
                                                    : &ThrowingErrorHandler::Instance()) {}

Construction::UnitPtr BaseObject::Clone() const {
    return Util::CopyUnit(Branch(), Factory());
}

Construction::UnitPtr BaseObject::DefaultValue() const {
    if (defaultValue_ == nullptr) {
        throw Detail::MakeError(COMMON_PLACE("Zaph::BaseObject::DefaultValue"), Errors::kGeneral,
                                Common::kMsgZaphInternalError);
    }
    return defaultValue_(*this);
}

Construction::Unit& BaseObject::Branch() const {
    if (branch_ == nullptr) {
        throw Detail::MakeError(COMMON_PLACE("Zaph::BaseObject::Branch"), Errors::kGeneral,
                                Common::kMsgZaphUninitializedObject);
    }
    return *branch_;
}

Construction::UnitFactory& BaseObject::Factory() const {
    if (factory_ == nullptr) {
        throw Detail::MakeError(COMMON_PLACE("Zaph::BaseObject::Factory"), Errors::kGeneral,
                                Common::kMsgZaphUninitializedObject);
    }
    return *factory_;
}

BaseObject::Context BaseObject::ContextFor(Construction::Unit& branch) const {
    Context context;
    context.root = root_;
    context.branch = &branch;
    context.factory = factory_;
    context.errorHandler = errorHandler_;
    return context;
}

}  // namespace Zaph
