// kivod's command line, and the program itself: ready on its descriptor, replacing a stale socket,
// refusing a second copy on the same sockets, ending on SIGTERM and SIGINT with its clients told by
// the end of their connection.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include "core/common/text.h"
#include "platform/socket_server/listeners.h"
#include "platform/store/connection.h"
#include "platform/store/tests/store_test_support.h"
#include "platform/wire/frame.h"
#include "tools/kivod/kivod_options.h"
#include "tools/kivod/tests/kivod_program_support.h"

namespace {

using namespace KivoWire;
using namespace KivodTest;

TEST(KivodOptions, BadCommandLinesAreRefusedNamingTheFlag) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "--store"},
        {{"--store"}, "--store needs a value"},
        {{"--store", "s.db", "--port", "1"}, "'--port' is not a flag"},
        {{"--store", "s.db", "--services", "QOR,DB"}, "not 'QOR,DB'"},
        {{"--store", "s.db", "--services", "qor,QOR"}, "QOR twice"},
        {{"--store", "s.db", "--interface-version", "3"}, "from 1 to 2, not '3'"},
        {{"--store", "s.db", "--ping-ms", "-5"}, "not '-5'"},
        {{"--store", "s.db", "--dead-ms=0"}, "from 1 to"},
        {{"--store", "s.db", "--ping-ms", "500", "--dead-ms", "500"}, "must pass --ping-ms"},
        {{"--store", "s.db", "--local-group", "no such group here"}, "names no group"},
        {{"--store", "s.db", "--socket-dir="}, "needs a directory"},
        {{"--store", "s.db", "--listen", "127.0.0.1:0"},
         "--listen needs --tls-cert, --tls-key, --users as well"},
        {{"--store", "s.db", "--listen=127.0.0.1:0", "--tls-cert=c", "--tls-key=k"},
         "needs --users as well"},
        {{"--store", "s.db", "--users", "u"}, "--users is only for --listen"},
        {{"--store", "s.db", "--listen", "::1:7446", "--tls-cert=c", "--tls-key=k", "--users=u"},
         "not '::1:7446'"},
        {{"--store", "s.db", "--listen", "127.0.0.1:65536", "--tls-cert=c", "--tls-key=k",
          "--users=u"},
         "not '127.0.0.1:65536'"},
        {{"--store", "s.db", "--login-delay-ms", "60001"}, "from 0 to 60000"},
        {{"passwd", "users"}, "takes a users file and a user"},
        {{"passwd", "users", "u", "password"}, "takes a users file and a user"},
    };
    for (const auto& [arguments, says] : cases) {
        std::string said = "nothing: accepted";
        try {
            (void)Kivod::ParseOptions(arguments);
        } catch (const Common::Error& error) {
            said = error.Code() == Kivod::kUsage ? Common::ToUtf8(error.Message()) : "not kUsage";
        }
        EXPECT_NE(std::string::npos, said.find(says)) << said;
    }
}

TEST(Kivod, ServesUntilSignalledAndRefusesASecondCopy) {
    for (const int signal : {SIGTERM, SIGINT}) {
        KivoStoreTest::ScratchFolder folder;
        KivoStore::CreateStore(folder.WideFile("s.db"));
        const std::string sockets = folder.File("sockets");
        std::filesystem::create_directory(sockets);
        ::close(KivoServer::Listen(sockets, 34, std::nullopt).fd);  // stale: its owner has gone
        Program kivod(Serving(folder), folder.File("log"));
        ASSERT_EQ("unix " + sockets + "/qor.sock\nunix " + sockets + "/yeb.sock\nunix " + sockets +
                      "/tuk.sock\nunix " + sockets + "/kivo.sock\nready\n",
                  kivod.Ready());
        Program second(Serving(folder), folder.File("second.log"));
        ASSERT_EQ("", second.Ready());
        EXPECT_EQ(255, second.Status());
        EXPECT_NE(std::string::npos,
                  FileText(folder.File("second.log")).find("Another service already answers"));

        const int client = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{AF_UNIX, {}};
        (sockets + "/kivo.sock").copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(0, ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address));
        const std::vector<uint8_t> hello = EncodeFrame(FrameKind::Hello, 0, 0, 0, HelloPayload(46));
        ASSERT_EQ(static_cast<ssize_t>(hello.size()), ::write(client, hello.data(), hello.size()));
        uint8_t welcome[44];
        ASSERT_EQ(44, ::recv(client, welcome, sizeof welcome, MSG_WAITALL));
        ::kill(kivod.pid, signal);
        EXPECT_EQ(0, ::recv(client, welcome, 1, 0));  // the connection ends, nothing more
        ::close(client);
        EXPECT_EQ(0, kivod.Status());
        EXPECT_TRUE(std::filesystem::is_empty(sockets));
    }
}

}  // namespace
