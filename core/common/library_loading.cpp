#include "core/common/library_loading.h"

#include <dlfcn.h>

#include "core/common/error/error.h"

namespace Common {
namespace {

constexpr ErrorFieldType kPathType[] = {ErrorFieldType::Narrow};
constexpr ErrorFieldType kPathAndFunctionTypes[] = {ErrorFieldType::Narrow, ErrorFieldType::Narrow};
const ErrorFieldKind kLibraryKind = {"path,$module", kPathType, 1};
const ErrorFieldKind kFunctionKind = {"path,function,$module", kPathAndFunctionTypes, 2};

// `error` with the loader's text of the failure as its reason.
Error WithLoaderReason(Error error, const char* loaderText) {
    return error.Add(Error(COMMON_PLACE("FailureHook"), kSystemCodeError,
                           loaderText != nullptr ? loaderText : "unknown loader failure"));
}

}  // namespace

void* LoadLibrary(const char* path) {
    dlerror();
    if (void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
        return library;
    }
    throw WithLoaderReason(Error(COMMON_PLACE("FailureHook"), kLibraryNotLoaded, kLibraryKind, u"",
                                 {path != nullptr ? path : ""}),
                           dlerror());
}

void* FindLibraryFunction(void* library, const char* path, const char* function) {
    dlerror();
    void* address = dlsym(library, function);
    // A symbol may legitimately be null: only the loader's error text tells a failure.
    const char* failure = dlerror();
    if (failure == nullptr) {
        return address;
    }
    throw WithLoaderReason(
        Error(COMMON_PLACE("FailureHook"), kLibraryFunctionNotFound, kFunctionKind, u"",
              {path != nullptr ? path : "", function != nullptr ? function : ""}),
        failure);
}

}  // namespace Common
