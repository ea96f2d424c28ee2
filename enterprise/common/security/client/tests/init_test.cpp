// Security initialisation: the library's results and the error bytes it hands out.

#include "enterprise/common/security/client/init.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "core/security_api/security.h"

namespace {

using Security::Detail::ErrorOfResult;

// A security library that answers `answer`.
class Answering final : public SecurityApi::Library {
  public:
    explicit Answering(Common::Error answer) : answer_(std::move(answer)) {}
    Common::Error Initialize() override { return answer_; }

  private:
    const Common::Error answer_;
};

// The library's answer (no library: a failure that says so) reaches the caller through the
// result and the error's byte form, its reason included; a success leaves no error behind.
TEST(SecurityInitialize, TheRegisteredLibrarysAnswerComesThroughItsBytes) {
    Common::Error refusal(COMMON_PLACE("Security::Test"), 0x2740012, u"no certificate");
    refusal.Add(Common::Error(COMMON_PLACE("Security::Test"), 2));
    const struct {
        std::shared_ptr<SecurityApi::Library> library;
        uint32_t code, reason;
        std::u16string message;
    } cases[] = {
        {nullptr, SecurityApi::kSecurityNotRegistered, 0,
         u"Security: no security library is installed in this program."},
        {std::make_shared<Answering>(refusal), 0x2740012, 2, u"no certificate"},
        {std::make_shared<Answering>(Common::Error()), 0, 0, u""},
    };
    for (const auto& run : cases) {
        const std::shared_ptr<SecurityApi::Library> previous =
            SecurityApi::RegisterLibrary(run.library);
        const Common::Error error = Security::Initialize(0x1234);
        SecurityApi::RegisterLibrary(previous);
        EXPECT_EQ(error.Code(), run.code);
        EXPECT_EQ(error.Message(), run.message);
        EXPECT_EQ(error.Reason().Code(), run.reason);
    }
    uint8_t* bytes = reinterpret_cast<uint8_t*>(1);
    uint32_t length = 1;
    Security_GetLastError(bytes, length);
    EXPECT_TRUE(bytes == nullptr && length == 0);
}

// A failure without usable bytes (none, the empty error's, malformed ones) stays a failure; a
// success frees bytes that came all the same.
TEST(SecurityInitialize, AFailureWithoutUsableBytesIsStillAFailure) {
    const Common::Error withoutBytes = ErrorOfResult(-3, nullptr, 0);
    EXPECT_EQ(withoutBytes.Code(), Security::kInvalidSecurityResult);
    EXPECT_EQ(withoutBytes.Message(),
              u"An invalid operation result is returned from security core.");
    EXPECT_EQ(ErrorOfResult(1, new uint8_t[1]{0x01}, 1).Code(), Security::kInvalidSecurityResult);
    EXPECT_EQ(ErrorOfResult(1, new uint8_t[3]{0x01, 0xFF, 0xFF}, 3).Code(),
              Common::kErrorBytesMalformed);
    EXPECT_TRUE(ErrorOfResult(0, new uint8_t[1]{0}, 1).IsEmpty());
}

}  // namespace
