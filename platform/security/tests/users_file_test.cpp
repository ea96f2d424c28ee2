// Password records and the users file: the derivation against OpenSSL's command line, the
// parameter bounds, the file's format, bounds and permissions, atomic rewrites, and the verifier
// (right, wrong and unknown users alike, one derivation each, a changed file read again).

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "core/common/text.h"
#include "platform/security/testing/test_pki.h"
#include "platform/security/tests/security_test_support.h"
#include "platform/security/tls.h"
#include "platform/security/users_file.h"

namespace {

using namespace KivoSecurity;
using KivoSecurityTesting::kCheapScrypt;

constexpr char kSalt[] = "000102030405060708090a0b0c0d0e0f";
// `openssl kdf -keylen 32 -kdfopt pass:secret -kdfopt hexsalt:<kSalt> -kdfopt n:1024
//  -kdfopt r:8 -kdfopt p:1 SCRYPT`
constexpr char kSecretHash[] = "31d73f8d308fcbeb94f1a48b6ccf85181402fc05d2cdf582b0052417f5580a09";

std::string Line(const std::string& user, const std::string& parameters = "1024:8:1",
                 const std::string& salt = kSalt, const std::string& hash = kSecretHash) {
    return user + ":scrypt:" + parameters + ":" + salt + ":" + hash + "\n";
}

TEST(PasswordHash, TheDerivationIsScryptAndItsBoundsComeFirst) {
    std::vector<PasswordRecord> records;
    ASSERT_TRUE(ParseUsers(Line("u"), records).IsEmpty());
    std::array<uint8_t, kHashBytes> hash{};
    ASSERT_TRUE(DeriveKey("secret", records[0].salt, records[0].parameters, hash).IsEmpty());
    EXPECT_EQ(hash, records[0].hash);
    const struct {
        ScryptParameters parameters;
        bool valid;
    } cases[] = {
        {{1 << 10, 8, 1}, true},   {{1 << 9, 8, 1}, false},   {{3 << 10, 8, 1}, false},
        {{1 << 21, 1, 1}, false},  {{1 << 20, 2, 1}, true},   {{1 << 20, 3, 1}, false},
        {{1 << 15, 1, 1}, true},   {{1 << 16, 1, 1}, false},  {{1 << 10, 0, 1}, false},
        {{1 << 10, 32, 16}, true}, {{1 << 10, 33, 1}, false}, {{1 << 10, 8, 0}, false},
        {{1 << 10, 8, 17}, false}, {{0, 8, 1}, false},
    };
    for (const auto& run : cases) {
        const Common::Error checked = CheckParameters(run.parameters);
        EXPECT_EQ(checked.IsEmpty(), run.valid) << run.parameters.n << " " << run.parameters.r;
        // A refused record takes no memory and no time: it is never derived.
        if (!run.valid) {
            EXPECT_EQ(DeriveKey("p", records[0].salt, run.parameters, hash).Code(),
                      kPasswordHashFailed);
        }
    }
}

TEST(UsersFile, RecordsRoundTripAndEveryBrokenLineIsNamed) {
    std::vector<PasswordRecord> made(2);
    ASSERT_TRUE(MakeRecord("alice", "a", kCheapScrypt, made[0]).IsEmpty());
    ASSERT_TRUE(MakeRecord("b\xC3\xB6 b", "", {1 << 11, 4, 2}, made[1]).IsEmpty());
    EXPECT_NE(made[0].salt, made[1].salt);
    std::vector<PasswordRecord> read;
    ASSERT_TRUE(ParseUsers("# users\n\n" + FormatUsers(made), read).IsEmpty());
    ASSERT_EQ(read.size(), 2u);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_TRUE(read[i].user == made[i].user && read[i].parameters == made[i].parameters &&
                    read[i].salt == made[i].salt && read[i].hash == made[i].hash);
    const std::string good = Line("u");
    const struct {
        std::string text;
        const char* line;
    } broken[] = {
        {"u:scrypt:1024:8:1:" + std::string(kSalt) + "\n", "Line 1 "},
        {good + "u:scrypt:1024:8:1:" + kSalt + ":" + kSecretHash + ":x\n", "Line 2 "},
        {Line(""), "Line 1 "},
        {Line(" u"), "Line 1 "},
        {Line("u "), "Line 1 "},
        {Line("u\x01"), "Line 1 "},
        {Line("\xFF"), "Line 1 "},
        {Line(std::string(257, 'u')), "Line 1 "},
        {"u:bcrypt:1024:8:1:" + std::string(kSalt) + ":" + kSecretHash, "Line 1 "},
        {Line("u", "+1024:8:1"), "Line 1 "},
        {Line("u", "1024:-8:1"), "Line 1 "},
        {Line("u", "99999999999999999999:8:1"), "Line 1 "},
        {Line("u", "1024:4294967297:1"), "Line 1 "},
        {Line("u", "1000:8:1"), "Line 1 "},
        {Line("u", "1024:8:1", std::string(kSalt).substr(1)), "Line 1 "},
        {Line("u", "1024:8:1", std::string(kSalt).replace(0, 1, "g")), "Line 1 "},
        {Line("u", "1024:8:1", kSalt, std::string(kSecretHash) + "0"), "Line 1 "},
        {"\n# comment\r\n" + good + Line("v") + good, "Line 5 "},
        {std::string(kMaxUsersFileBytes + 1, '#'), "larger than"},
    };
    for (const auto& run : broken) {
        read = made;
        const Common::Error error = ParseUsers(run.text, read);
        EXPECT_EQ(error.Code(), kUsersFileBad) << run.text;
        EXPECT_NE(Common::ToUtf8(error.Message()).find(run.line), std::string::npos)
            << Common::ToUtf8(error.ToText());
        EXPECT_EQ(read.size(), 2u);  // untouched
    }
    std::string most;
    for (size_t i = 0; i < kMaxUsers; ++i)
        most += Line("u" + std::to_string(i));
    EXPECT_TRUE(ParseUsers(most, read).IsEmpty());
    EXPECT_EQ(read.size(), kMaxUsers);
    EXPECT_EQ(ParseUsers(most + Line("last"), read).Code(), kUsersFileBad);
}

TEST(UsersFile, TheFileIsPrivateAndReplacedWhole) {
    const KivoSecurityTest::TemporaryFolder folder;
    const std::string path = folder / "users";
    std::vector<PasswordRecord> records;
    EXPECT_EQ(ReadUsersFile(path, records).Code(), kUsersFileBad);  // none yet
    for (const char* user : {"alice", "bob"}) {
        ASSERT_TRUE(UpdateUsersFile(path, [&](std::vector<PasswordRecord>& held) {
                        held.emplace_back();
                        return MakeRecord(user, "p", kCheapScrypt, held.back());
                    }).IsEmpty());
    }
    ASSERT_TRUE(ReadUsersFile(path, records).IsEmpty());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].user, "bob");
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    // A change that fails, and records the file could not hold, leave the file as it was.
    const Common::Error refused(COMMON_PLACE("UsersFile::Test"), 5);
    EXPECT_EQ(UpdateUsersFile(path, [&](auto& held) { return held.clear(), refused; }).Code(), 5u);
    records.push_back(records[0]);
    EXPECT_EQ(WriteUsersFile(path, records).Code(), kUsersFileBad);
    ASSERT_TRUE(ReadUsersFile(path, records).IsEmpty());
    EXPECT_EQ(records.size(), 2u);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    EXPECT_EQ(ReadUsersFile(path, records).Code(), kFileTooOpen);
}

TEST(PasswordVerifier, EveryAnswerTakesOneDerivationAndAnUnknownUserLooksLikeAWrongPassword) {
    const KivoSecurityTest::TemporaryFolder folder;
    const std::string path = folder / "users";
    KivoSecurityTesting::WriteTestUsers(path, {{"alice", "a-pass"}, {"bob", "b-pass"}});
    std::vector<ScryptParameters> derived;
    // Counts the derivations; the dummy's costly parameters are derived with cheap ones.
    PasswordVerifier verifier(
        path, [&](auto password, auto salt, const auto& parameters, auto& hash) {
            derived.push_back(parameters);
            return DeriveKey(password, salt,
                             parameters == kDefaultScrypt ? kCheapScrypt : parameters, hash);
        });
    ASSERT_TRUE(verifier.Load().IsEmpty());
    const struct {
        const char* user;
        const char* password;
        bool accepted;
        ScryptParameters derivedWith;
    } cases[] = {
        {"alice", "a-pass", true, kCheapScrypt},     {"alice", "b-pass", false, kCheapScrypt},
        {"bob", "b-pass", true, kCheapScrypt},       {"alice", "", false, kCheapScrypt},
        {"nobody", "a-pass", false, kDefaultScrypt}, {"", "", false, kDefaultScrypt},
        {"carol", "c-pass", false, kDefaultScrypt},
    };
    for (const auto& run : cases) {
        derived.clear();
        EXPECT_EQ(verifier.Verify(run.user, run.password), run.accepted) << run.user;
        ASSERT_EQ(derived.size(), 1u) << run.user;
        EXPECT_EQ(derived[0], run.derivedWith) << run.user;
    }
    // A user added since is known at the next login, whether the file was replaced or rewritten
    // in place; a file broken since keeps what was read.
    KivoSecurityTesting::WriteTestUsers(path, {{"alice", "a-pass"}, {"carol", "c-pass"}});
    EXPECT_TRUE(verifier.Verify("carol", "c-pass"));
    KivoSecurityTesting::WriteTestUsers(folder / "next", {{"dave", "d-pass"}});
    std::ofstream(path, std::ios::trunc) << std::ifstream(folder / "next").rdbuf();
    EXPECT_TRUE(verifier.Verify("dave", "d-pass"));
    EXPECT_FALSE(verifier.Verify("carol", "c-pass"));
    KivoSecurityTesting::WriteTestUsers(path, {{"alice", "a-pass"}, {"carol", "c-pass"}});
    EXPECT_FALSE(verifier.Verify("bob", "b-pass"));
    ASSERT_TRUE(KivoSecurityTest::WriteFile(path, "broken\n"));
    EXPECT_TRUE(verifier.Verify("carol", "c-pass"));
    EXPECT_EQ(verifier.Load().Code(), kUsersFileBad);
    PasswordVerifier missing(folder / "none");
    EXPECT_EQ(missing.Load().Code(), kUsersFileBad);
    EXPECT_FALSE(missing.Verify("alice", "a-pass"));
}

}  // namespace
