// Security initialisation: the library's results and the error bytes it hands out.

#include "enterprise/common/security/client/init.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <utility>

#include "core/security_api/security.h"

namespace {

using Security::Detail::ErrorOfResult;

// A security library that answers `answer`, registered for the object's lifetime.
class Registered final : public SecurityApi::Library {
  public:
    explicit Registered(Common::Error answer) : answer_(std::move(answer)) {}
    Common::Error Initialize() override { return answer_; }

  private:
    const Common::Error answer_;
};

struct Registration {
    explicit Registration(std::shared_ptr<SecurityApi::Library> library)
        : previous(SecurityApi::RegisterLibrary(std::move(library))) {}
    ~Registration() { SecurityApi::RegisterLibrary(previous); }
    const std::shared_ptr<SecurityApi::Library> previous;
};

// A copy of `error`'s byte form in an array made with new[], as the library hands it out.
uint8_t* LibraryBytes(const Common::Error& error, uint32_t& length) {
    Common::DynamicBuffer buffer;
    EXPECT_TRUE(error.Serialize(buffer));
    length = static_cast<uint32_t>(buffer.Size());
    uint8_t* bytes = new uint8_t[length];
    std::memcpy(bytes, buffer.Data(), length);
    return bytes;
}

// The library's answer reaches the caller through the result and the error's byte form; a
// success after a failure leaves no error behind; with no library the failure says so.
TEST(SecurityInitialize, TheRegisteredLibrarysAnswerComesThroughItsBytes) {
    {
        const Registration none(nullptr);
        const Common::Error missing = Security::Initialize(0x1234);
        EXPECT_EQ(missing.Code(), SecurityApi::kSecurityNotRegistered);
        EXPECT_EQ(missing.Message(),
                  u"Security: no security library is installed in this program.");
    }
    Common::Error refusal(COMMON_PLACE("Security::Test"), 0x2740012, u"no certificate");
    refusal.Add(Common::Error(COMMON_PLACE("Security::Test"), 2));
    {
        const Registration failing(std::make_shared<Registered>(refusal));
        const Common::Error error = Security::Initialize(0x1234);
        EXPECT_EQ(error.Code(), 0x2740012u);
        EXPECT_EQ(error.Message(), u"no certificate");
        EXPECT_EQ(error.Reason().Code(), 2u);
    }
    const Registration working(std::make_shared<Registered>(Common::Error()));
    EXPECT_TRUE(Security::Initialize(0x1234).IsEmpty());
    uint8_t* bytes = reinterpret_cast<uint8_t*>(1);
    uint32_t length = 1;
    Security_GetLastError(bytes, length);
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(length, 0u);
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
