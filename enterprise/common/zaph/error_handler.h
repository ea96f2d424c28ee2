// Zaph::ErrorHandler: what a typed object does when a property of its unit is missing, of the
// wrong kind, or fails to be processed. Each operation gets the path of the property concerned.
//
// ThrowingErrorHandler, the default, raises:
//   PropertyNotFound         "ZAPH: Property '{0}' cannot be found." (Errors::kPropertyNotFound)
//   PropertyTypeMismatch     the property type mismatch (Errors::kTypeMismatch)
//   PropertyProcessingError  "ZAPH: Property '{0}' processing error has occurred."
//                            (Errors::kGeneral) with the cause as its reason
//
// Thread-safety: the throwing handler has no state and may be used from any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace Zaph {

class ErrorHandler : private Common::NonCopyable {
  public:
    virtual ~ErrorHandler() = default;
    virtual void PropertyNotFound(std::u16string_view path) = 0;
    virtual void PropertyTypeMismatch(std::u16string_view path, uint32_t expected,
                                      uint32_t actual) = 0;
    virtual void PropertyProcessingError(std::u16string_view path, const Common::Error& cause) = 0;
};

class ThrowingErrorHandler final : public ErrorHandler {
  public:
    /// The single instance.
    static ThrowingErrorHandler& Instance();

    void PropertyNotFound(std::u16string_view path) override;
    void PropertyTypeMismatch(std::u16string_view path, uint32_t expected,
                              uint32_t actual) override;
    void PropertyProcessingError(std::u16string_view path, const Common::Error& cause) override;

  private:
    ThrowingErrorHandler() = default;
};

}  // namespace Zaph
