#include "core/common/base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Encode(std::string_view bytes) {
    std::string out;
    Common::Base64Encode(bytes.data(), bytes.size(), out);
    return out;
}

bool Decode(std::string_view text, std::string& bytes) {
    std::vector<uint8_t> out;
    const bool ok = Common::Base64Decode(text, out);
    bytes.assign(out.begin(), out.end());
    return ok;
}

TEST(Base64, KnownVectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xFF\xFE\x00", "//4A"},
    };
    for (const auto& [plain, encoded] : vectors) {
        const std::string bytes(plain, std::strlen(plain) + (plain[0] == '\xFF' ? 1 : 0));
        EXPECT_EQ(Encode(bytes), encoded);
        std::string back;
        EXPECT_TRUE(Decode(encoded, back));
        EXPECT_EQ(back, bytes);
    }
}

TEST(Base64, DecoderSkipsBlanksAndAcceptsMissingPadding) {
    std::string bytes;
    EXPECT_TRUE(Decode(" Zm9v\r\nYmFy\t", bytes));
    EXPECT_EQ(bytes, "foobar");
    EXPECT_TRUE(Decode("Zg", bytes));
    EXPECT_EQ(bytes, "f");
    EXPECT_TRUE(Decode("Zm8", bytes));
    EXPECT_EQ(bytes, "fo");
    EXPECT_TRUE(Decode("Zg= =", bytes));
    EXPECT_EQ(bytes, "f");
    std::vector<uint8_t> wide;
    EXPECT_TRUE(Common::Base64Decode(std::u16string_view(u"Zm9v"), wide));
    EXPECT_EQ(wide.size(), 3u);
    EXPECT_FALSE(Common::Base64Decode(std::u16string_view(u"Zm9\u0176"), wide));
}

TEST(Base64, DecoderRefusesInvalidInput) {
    std::string bytes;
    for (const char* bad : {"Z", "Zm9vY", "Zm9v!", "Zg==Zg==", "Z===", "=Zg=", "Zg===", "Zm9=v",
                            "Zm-v", "Zm9v\x80"}) {
        EXPECT_FALSE(Decode(bad, bytes)) << bad;
    }
}

TEST(Base64, AgreesWithOpenSsl) {
    std::mt19937 random(7);
    for (size_t length = 0; length < 300; ++length) {
        std::string bytes(length, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        std::string ours = Encode(bytes);
        std::vector<unsigned char> theirs(4 * ((length + 2) / 3) + 1);
        const int written =
            EVP_EncodeBlock(theirs.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(length));
        ASSERT_EQ(ours, std::string(reinterpret_cast<char*>(theirs.data()), written));
        std::string back;
        ASSERT_TRUE(Decode(ours, back));
        EXPECT_EQ(back, bytes);
    }
}

}  // namespace
