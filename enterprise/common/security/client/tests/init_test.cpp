// Security initialisation: the library's results and the error bytes it hands out.

#include "enterprise/common/security/client/init.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using Security::Detail::ErrorOfResult;

// A copy of `error`'s byte form in an array made with new[], as the library hands it out.
uint8_t* LibraryBytes(const Common::Error& error, uint32_t& length) {
    Common::DynamicBuffer buffer;
    EXPECT_TRUE(error.Serialize(buffer));
    length = static_cast<uint32_t>(buffer.Size());
    uint8_t* bytes = new uint8_t[length];
    std::memcpy(bytes, buffer.Data(), length);
    return bytes;
}

TEST(SecurityInitialize, OurLibrarySucceeds) {
    EXPECT_TRUE(Security::Initialize(0x1234).IsEmpty());
}

TEST(SecurityInitialize, AFailureIsRebuiltFromTheLibrarysBytes) {
    Common::Error reported(COMMON_PLACE("Security::Core"), 0x2740010, u"certificate store");
    reported.Add(Common::Error(COMMON_PLACE("Security::Core"), 5));
    uint32_t length = 0;
    uint8_t* bytes = LibraryBytes(reported, length);
    const Common::Error error = ErrorOfResult(1, bytes, length);  // frees the bytes
    EXPECT_EQ(error.Code(), 0x2740010u);
    EXPECT_EQ(error.Message(), u"certificate store");
    EXPECT_EQ(error.Reason().Code(), 5u);
}

TEST(SecurityInitialize, AFailureWithoutUsableBytesIsTheInvalidResultError) {
    const Common::Error withoutBytes = ErrorOfResult(-3, nullptr, 0);
    EXPECT_EQ(withoutBytes.Code(), Security::kInvalidSecurityResult);
    EXPECT_EQ(withoutBytes.Message(),
              u"An invalid operation result is returned from security core.");
    EXPECT_STREQ(withoutBytes.Place().function, "Security::Initialize");

    // Bytes that hold no error must not turn the failure into success.
    uint32_t length = 0;
    uint8_t* empty = LibraryBytes(Common::Error(), length);
    EXPECT_EQ(ErrorOfResult(1, empty, length).Code(), Security::kInvalidSecurityResult);

    uint8_t* malformed = new uint8_t[3]{0x01, 0xFF, 0xFF};
    EXPECT_EQ(ErrorOfResult(1, malformed, 3).Code(), Common::kErrorBytesMalformed);

    // A success hands no bytes over, but any that come are still freed.
    EXPECT_TRUE(ErrorOfResult(0, new uint8_t[1]{0}, 1).IsEmpty());
}

}  // namespace
