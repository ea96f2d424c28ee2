// Password records and the users file: the derivation against OpenSSL's command line, the
// parameter bounds, the file's format, bounds and permissions, atomic rewrites, and the verifier
// (right, wrong and unknown users alike, one derivation each, a changed file read again).

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "core/common/text.h"
#include "platform/security/tls.h"
#include "platform/security/users_file.h"
#include "tests/support/test_pki.h"

namespace {

using namespace KivoSecurity;
using KivoSecurityTesting::kCheapScrypt;

const std::string kSalt = "000102030405060708090a0b0c0d0e0f";
// `openssl kdf -keylen 32 -kdfopt pass:secret -kdfopt hexsalt:<kSalt> -kdfopt n:1024
//  -kdfopt r:8 -kdfopt p:1 SCRYPT`
const std::string kSecretHash = "31d73f8d308fcbeb94f1a48b6ccf85181402fc05d2cdf582b0052417f5580a09";

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
    const std::pair<ScryptParameters, bool> cases[] = {
        {{1 << 10, 8, 1}, true},   {{1 << 9, 8, 1}, false},   {{3 << 10, 8, 1}, false},
        {{1 << 21, 1, 1}, false},  {{1 << 20, 2, 1}, true},   {{1 << 20, 3, 1}, false},
        {{1 << 15, 1, 1}, true},   {{1 << 16, 1, 1}, false},  {{1 << 10, 0, 1}, false},
        {{1 << 10, 32, 16}, true}, {{1 << 10, 33, 1}, false}, {{1 << 10, 8, 0}, false},
        {{1 << 10, 8, 17}, false}, {{0, 8, 1}, false},
    };
    for (const auto& [parameters, valid] : cases) {
        EXPECT_EQ(CheckParameters(parameters).IsEmpty(), valid)
            << parameters.n << " " << parameters.r;
        // A refused record takes no memory and no time: it is never derived.
        EXPECT_TRUE(valid || DeriveKey("p", records[0].salt, parameters, hash).Code() ==
                                 kPasswordHashFailed);
    }
}

TEST(UsersFile, RecordsRoundTripAndEveryBrokenLineIsNamed) {
    std::vector<PasswordRecord> made(2), read;
    ASSERT_TRUE(MakeRecord("alice", "a", kCheapScrypt, made[0]).IsEmpty());
    ASSERT_TRUE(MakeRecord("b\xC3\xB6 b", "", {1 << 11, 4, 2}, made[1]).IsEmpty());
    EXPECT_NE(made[0].salt, made[1].salt);
    ASSERT_TRUE(ParseUsers("# users\n\n" + FormatUsers(made), read).IsEmpty());
    EXPECT_EQ(FormatUsers(read), FormatUsers(made));
    std::string most;
    for (size_t i = 0; i < kMaxUsers; ++i)
        most += Line(std::string("u").append(std::to_string(i)));
    // The line that breaks a file is named, and the records held are left as they were.
    std::vector<std::pair<std::string, std::string>> broken = {
        {"\n# comment\r\n" + Line("u") + Line("v") + Line("u"), "Line 5 "},
        {most + Line("last"), "Line 10001 "},
        {std::string(kMaxUsersFileBytes + 1, '#'), "larger than"},
    };
    for (const std::string& line :
         {"u:scrypt:1024:8:1:" + kSalt, Line("u", "1024:8:1", kSalt, kSecretHash + ":x"), Line(""),
          Line(" u"), Line("u "), Line("u\x01"), Line("\xFF"), Line(std::string(257, 'u')),
          "u:bcrypt:1024:8:1:" + kSalt + ":" + kSecretHash, Line("u", "1024:8x:1"),
          Line("u", "99999999999999999999:8:1"), Line("u", "1024:4294967297:1"),
          Line("u", "1000:8:1"), Line("u", "1024:8:1", kSalt.substr(1)),
          Line("u", "1024:8:1", std::string("g").append(kSalt, 1)),
          Line("u", "1024:8:1", kSalt, kSecretHash + "0")})
        broken.emplace_back(line, "Line 1 ");
    for (const auto& [text, where] : broken) {
        read = made;
        const Common::Error error = ParseUsers(text, read);
        EXPECT_EQ(error.Code(), kUsersFileBad) << text.substr(0, 100);
        EXPECT_NE(Common::ToUtf8(error.Message()).find(where), std::string::npos)
            << Common::ToUtf8(error.ToText());
        EXPECT_EQ(read.size(), 2u);
    }
    EXPECT_TRUE(ParseUsers(most, read).IsEmpty());
    EXPECT_EQ(read.size(), kMaxUsers);
}

TEST(UsersFile, TheFileIsPrivateAndReplacedWhole) {
    const std::string path = KivoSecurityTesting::TestFolder() + "/replaced";
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
    const std::string path = KivoSecurityTesting::TestFolder() + "/users";
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
        const char *user, *password;
        bool accepted, known;
    } cases[] = {
        {"alice", "a-pass", true, true},    {"alice", "b-pass", false, true},
        {"bob", "b-pass", true, true},      {"alice", "", false, true},
        {"nobody", "a-pass", false, false}, {"", "", false, false},
    };
    for (const auto& run : cases) {
        derived.clear();
        EXPECT_EQ(verifier.Verify(run.user, run.password), run.accepted) << run.user;
        EXPECT_EQ(derived, std::vector{run.known ? kCheapScrypt : kDefaultScrypt}) << run.user;
    }
    // A file rewritten in place since is read again at the next login (one replaced: see the
    // concurrency test); a file broken since keeps what was read.
    KivoSecurityTesting::WriteTestUsers(path + ".next", {{"carol", "c-pass"}});
    std::ofstream(path, std::ios::trunc) << std::ifstream(path + ".next").rdbuf();
    EXPECT_TRUE(verifier.Verify("carol", "c-pass"));
    EXPECT_FALSE(verifier.Verify("alice", "a-pass"));
    std::ofstream(path, std::ios::trunc) << "broken\n";
    EXPECT_TRUE(verifier.Verify("carol", "c-pass"));
    EXPECT_EQ(verifier.Load().Code(), kUsersFileBad);
}

}  // namespace
