// One PasswordVerifier shared by logins on several threads while the users file is replaced
// under them: every answer is one the file gave at some time, and the clients' TLS context is
// made once for them all.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include "platform/security/tls.h"
#include "platform/security/users_file.h"
#include "tests/support/test_pki.h"

namespace {

TEST(PasswordVerifierConcurrency, LoginsOnManyThreadsSeeOneFileOrTheNext) {
    const std::string path = KivoSecurityTesting::TestFolder() + "/users";
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
            EXPECT_EQ(fileReplaced.wait_for(std::chrono::seconds(30)), std::future_status::ready);
            EXPECT_TRUE(verifier.Verify("bob", "b-pass"));
            return context.get();
        }));
    }
    KivoSecurityTesting::WriteTestUsers(path, {{"alice", "a-pass"}, {"bob", "b-pass"}});
    replaced.set_value();
    const KivoSecurity::TlsContext* first = logins[0].get();
    for (size_t i = 1; i < logins.size(); ++i)
        EXPECT_EQ(logins[i].get(), first);
}

}  // namespace
