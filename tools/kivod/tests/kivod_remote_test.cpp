// kivod over TCP: the tcp line on its ready descriptor with the port the kernel chose, a key or
// users file open to others refused before anything listens, and `kivod passwd` adding and
// changing a user through standard input.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/security/testing/test_pki.h"
#include "platform/security/users_file.h"
#include "platform/store/store.h"
#include "tools/kivod/tests/kivod_program_support.h"

namespace {

using namespace KivodTest;

// The folder's store, test certificates and users file, and the arguments that serve them on
// TCP port 0.
struct Remote {
    Remote() {
        KivoStore::CreateStore(folder.WideFile("s.db"));
        KivoSecurityTesting::WriteTestUsers(folder.File("users"), {{"u", "p"}});
        arguments = Serving(folder);
        arguments.insert(arguments.end(),
                         {"--listen", "127.0.0.1:0", "--tls-cert", pki.serverCertFile, "--tls-key",
                          pki.serverKeyFile, "--users", folder.File("users")});
    }
    KivoStoreTest::ScratchFolder folder;
    const KivoSecurityTesting::TestPki pki = KivoSecurityTesting::MakeTestPki(folder.File("."));
    std::vector<std::string> arguments;
};

TEST(KivodRemote, ListensOnTheChosenPortAndSaysWhich) {
    Remote remote;
    Program kivod(remote.arguments, remote.folder.File("log"));
    // The sockets' lines, then "tcp 127.0.0.1:<port>", then "ready".
    const std::string ready = kivod.Ready(), tcp = "\ntcp 127.0.0.1:", end = "\nready\n";
    const size_t at = ready.find(tcp);
    ASSERT_TRUE(at != std::string::npos && ready.size() > at + tcp.size() + end.size() &&
                ready.compare(ready.size() - end.size(), end.size(), end) == 0)
        << ready;
    const std::string port =
        ready.substr(at + tcp.size(), ready.size() - end.size() - at - tcp.size());
    ASSERT_TRUE(std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        << ready;
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{
        AF_INET, htons(static_cast<uint16_t>(std::stoi(port))), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(0, ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ::close(client);
    EXPECT_EQ(0, kivod.Status(SIGTERM));
    EXPECT_NE(std::string::npos, FileText(remote.folder.File("log")).find(" on 127.0.0.1:" + port));
}

TEST(KivodRemote, KeyOrUsersFileOpenToOthersIsRefused) {
    for (const bool key : {true, false}) {
        Remote remote;
        const std::string file = key ? remote.pki.serverKeyFile : remote.folder.File("users");
        ASSERT_EQ(0, ::chmod(file.c_str(), key ? 0644 : 0640));
        Program kivod(remote.arguments, remote.folder.File("log"));
        EXPECT_EQ("", kivod.Ready());
        EXPECT_EQ(255, kivod.Status());
        const std::string log = FileText(remote.folder.File("log"));
        EXPECT_NE(std::string::npos, log.find("0x2740017")) << log;  // kFileTooOpen
        EXPECT_NE(std::string::npos, log.find(file)) << log;
        EXPECT_FALSE(std::filesystem::exists(remote.folder.File("sockets/qor.sock")));
    }
}

// Each line of standard input is one run's password: the user is added, then changed (a carriage
// return before the line feed is not part of the password); an empty or missing password changes
// nothing.
TEST(KivodPasswd, AddsThenChangesAUserFromStandardInput) {
    KivoStoreTest::ScratchFolder folder;
    const std::string users = folder.File("users");
    const struct {
        const char* input;
        int status;
        const char* says;
        const char* password;  // that the user then has
    } runs[] = {
        {"first\n", 0, "kivod: user alice added\n", "first"},
        {"second\r\n", 0, "kivod: user alice changed\n", "second"},
        {"\n", 255, "The password is empty", "second"},
        {"", 255, "No password came", "second"},
    };
    KivoSecurity::PasswordRecord before;
    for (const auto& run : runs) {
        SCOPED_TRACE(run.input);
        Program passwd({"passwd", users, "alice"}, folder.File("log"), run.input);
        EXPECT_EQ(run.status, passwd.Status());
        const std::string said = FileText(folder.File(run.status == 0 ? "log.out" : "log"));
        EXPECT_NE(std::string::npos, said.find(run.says)) << said;
        struct stat info {};
        ASSERT_EQ(0, ::stat(users.c_str(), &info));
        EXPECT_EQ(0600u, info.st_mode & 0777);
        std::vector<KivoSecurity::PasswordRecord> records;
        ASSERT_TRUE(KivoSecurity::ReadUsersFile(users, records).IsEmpty());
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ(run.status == 0, records[0].hash != before.hash);  // a new record, or none
        before = records[0];
    }
    KivoSecurity::PasswordVerifier verifier(users);
    ASSERT_TRUE(verifier.Load().IsEmpty());
    EXPECT_TRUE(verifier.Verify("alice", "second"));
}

}  // namespace
