// Security initialisation: the library's failure reaches the caller through its error bytes, and
// a failure never reads as success.

#include "enterprise/common/security/client/init.h"

#include <gtest/gtest.h>

#include "core/security_api/security.h"

TEST(SecurityInitialize, AFailureComesThroughItsBytesAndNeverReadsAsSuccess) {
    EXPECT_EQ(Security::Initialize(0x1234).Code(), SecurityApi::kSecurityNotRegistered);
    EXPECT_TRUE(Security::Detail::ErrorOfResult(0, new uint8_t[1]{0x01}, 1).IsEmpty());
    // No bytes, and the bytes of the empty error.
    for (uint8_t* bytes : {static_cast<uint8_t*>(nullptr), new uint8_t[1]{0x01}}) {
        const Common::Error error = Security::Detail::ErrorOfResult(-3, bytes, bytes ? 1 : 0);
        EXPECT_EQ(error.Code(), Security::kInvalidSecurityResult);
        EXPECT_EQ(error.Message(), u"An invalid operation result is returned from security core.");
    }
}
