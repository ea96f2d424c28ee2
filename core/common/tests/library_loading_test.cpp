#include "core/common/library_loading.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "core/common/error/error.h"
#include "core/common/text.h"

namespace {

using testing::HasSubstr;

TEST(LibraryLoading, AMissingLibraryRaisesItsErrorWithTheLoaderReason) {
    try {
        Common::LoadLibrary("libkivo_no_such_library.so");
        FAIL() << "loaded a missing library";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), 0x140FA1u);
        EXPECT_STREQ(error.FieldNames(), "path,$module");
        EXPECT_STREQ(error.NarrowField("path"), "libkivo_no_such_library.so");
        EXPECT_STREQ(error.Place().function, "FailureHook");
        const Common::Error reason = error.Reason();
        EXPECT_EQ(reason.Code(), Common::kSystemCodeError);
        EXPECT_THAT(Common::ToUtf8(reason.Message()), HasSubstr("libkivo_no_such_library.so"));
        EXPECT_THAT(Common::ToUtf8(error.ToText()),
                    HasSubstr("| path: libkivo_no_such_library.so\n"));
    }
}

TEST(LibraryLoading, FunctionsAreFoundByName) {
    void* library = Common::LoadLibrary("libm.so.6");
    ASSERT_NE(library, nullptr);
    auto* cosine = reinterpret_cast<double (*)(double)>(
        Common::FindLibraryFunction(library, "libm.so.6", "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    try {
        Common::FindLibraryFunction(library, "libm.so.6", "kivo_no_such_function");
        FAIL() << "found a missing function";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), 0x140FA2u);
        EXPECT_STREQ(error.FieldNames(), "path,function,$module");
        EXPECT_STREQ(error.NarrowField("path"), "libm.so.6");
        EXPECT_STREQ(error.NarrowField("function"), "kivo_no_such_function");
        EXPECT_THAT(Common::ToUtf8(error.Reason().Message()), HasSubstr("kivo_no_such_function"));
    }
    dlclose(library);
}

}  // namespace
