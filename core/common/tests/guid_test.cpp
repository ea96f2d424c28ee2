#include "core/common/guid.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Common::Guid;
using Common::GuidFromString;
using Common::GuidToString;
using Common::GuidToWideString;

Guid Sample() {
    Guid guid;
    guid.Data1 = 0x01234567;
    guid.Data2 = 0x89AB;
    guid.Data3 = 0xCDEF;
    const uint8_t tail[8] = {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    std::memcpy(guid.Data4, tail, sizeof tail);
    return guid;
}

TEST(GuidText, NullGuidPrintsAsZerosAndReadsBack) {
    const std::string text = GuidToString(Guid{});
    EXPECT_EQ(text, "00000000-0000-0000-0000-000000000000");
    Guid read = Sample();
    ASSERT_TRUE(GuidFromString(text.c_str(), read));
    EXPECT_EQ(read, Guid{});
}

TEST(GuidText, FieldsPrintInOrderInUpperCase) {
    EXPECT_EQ(GuidToString(Sample()), "01234567-89AB-CDEF-FEDC-BA9876543210");
    EXPECT_EQ(GuidToWideString(Sample()), u"01234567-89AB-CDEF-FEDC-BA9876543210");
}

TEST(GuidText, RoundTripsInBothCasesAndWidths) {
    Guid narrow;
    ASSERT_TRUE(GuidFromString("01234567-89ab-cdef-FeDc-ba9876543210", narrow));
    EXPECT_EQ(narrow, Sample());
    Guid wide;
    ASSERT_TRUE(GuidFromString(GuidToWideString(Sample()).c_str(), wide));
    EXPECT_EQ(wide, Sample());

    Guid all;
    all.Data1 = 0xFFFFFFFF;
    all.Data2 = 0xFFFF;
    all.Data3 = 0x8000;
    std::memset(all.Data4, 0xA5, sizeof all.Data4);
    Guid back;
    ASSERT_TRUE(GuidFromString(GuidToString(all).c_str(), back));
    EXPECT_EQ(back, all);
}

TEST(GuidText, RejectsEverythingButTheExactForm) {
    const char* const rejected[] = {
        "",
        "{01234567-89AB-CDEF-FEDC-BA9876543210}",
        "{01234567-89AB-CDEF-FEDC-BA9876543210",
        " 01234567-89AB-CDEF-FEDC-BA9876543210",
        "01234567-89AB-CDEF-FEDC-BA9876543210 ",
        "01234567-89AB-CDEF-FEDC-BA98765432100",
        "01234567-89AB-CDEF-FEDC-BA98765432",
        "01234567-89AB-CDEF-FEDC",
        "0123456-89AB-CDEF-FEDC-BA9876543210",
        "01234567-89AB-CDEF-FEDCBA9876543210",
        "01234567 89AB CDEF FEDC BA9876543210",
        "0x234567-89AB-CDEF-FEDC-BA9876543210",
        "+1234567-89AB-CDEF-FEDC-BA9876543210",
        "01234567-+9AB-CDEF-FEDC-BA9876543210",
        "01234567-89AB-CDEF-FEDC-BA987654321G",
        "01234567-89AB-CDEF-FE-DC-A9876543210",
        "0123456789ABCDEFFEDCBA9876543210",
    };
    for (const char* text : rejected) {
        Guid guid = Sample();
        EXPECT_FALSE(GuidFromString(text, guid)) << '"' << text << '"';
        EXPECT_EQ(guid, Sample()) << "a failed read changed the value: " << text;
    }
}

TEST(GuidText, WideTextOutsideAsciiIsRejected) {
    // U+0141 would read as 'A' if only its low byte were looked at.
    std::u16string text = u"01234567-89AB-CDEF-FEDC-BA987654321A";
    text[35] = 0x0141;
    Guid guid;
    EXPECT_FALSE(GuidFromString(text.c_str(), guid));
}

TEST(GuidText, NullTextFailsTheAssertion) {
    Guid guid = Sample();
    testing::internal::CaptureStderr();
    const bool narrow = GuidFromString(static_cast<const char*>(nullptr), guid);
    const bool wide = GuidFromString(static_cast<const char16_t*>(nullptr), guid);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(narrow);
    EXPECT_FALSE(wide);
    EXPECT_EQ(guid, Sample());
    EXPECT_NE(report.find("Assertion failed: t, file core/common/guid.cpp"), std::string::npos)
        << report;
}

}  // namespace
