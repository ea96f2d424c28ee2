// One PasswordVerifier shared by logins on several threads while the users file is replaced
// under them: every answer is one the file gave at some time, and the clients' TLS context is
// made once for them all.

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <vector>

#include "platform/security/testing/test_pki.h"
#include "platform/security/tests/security_test_support.h"
#include "platform/security/tls.h"
#include "platform/security/users_file.h"

namespace {

TEST(PasswordVerifierConcurrency, LoginsOnManyThreadsSeeOneFileOrTheNext) {
    const KivoSecurityTest::TemporaryFolder folder;
    const std::string path = folder / "users";
    KivoSecurityTesting::WriteTestUsers(path, {{"alice", "a-pass"}});
    KivoSecurity::PasswordVerifier verifier(path);
    ASSERT_TRUE(verifier.Load().IsEmpty());
    ::unsetenv(KivoSecurity::kCaFileVariable);

    std::promise<void> replaced;
    const std::shared_future<void> fileReplaced = replaced.get_future().share();
    std::vector<std::future<const KivoSecurity::TlsContext*>> logins;
    for (int thread = 0; thread < 4; ++thread) {
        logins.push_back(std::async(std::launch::async, [&] {
            std::shared_ptr<const KivoSecurity::TlsContext> context;
            EXPECT_TRUE(KivoSecurity::ClientContext(context).IsEmpty());
            for (int round = 0; round < 10; ++round) {
                EXPECT_TRUE(verifier.Verify("alice", "a-pass"));
                EXPECT_FALSE(verifier.Verify("alice", "b-pass"));
                (void)verifier.Verify("bob", "b-pass");  // before or after the change
            }
            // Once the new file is in place, every thread sees it.
            fileReplaced.wait();
            EXPECT_TRUE(verifier.Verify("bob", "b-pass"));
            return context.get();
        }));
    }
    KivoSecurityTesting::WriteTestUsers(path, {{"alice", "a-pass"}, {"bob", "b-pass"}});
    replaced.set_value();
    std::vector<const KivoSecurity::TlsContext*> contexts;
    for (auto& login : logins)
        contexts.push_back(login.get());
    EXPECT_EQ(std::count(contexts.begin(), contexts.end(), contexts[0]), 4);
}

}  // namespace
