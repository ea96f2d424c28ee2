// kivod's command line: each bad one is refused with the usage code, its message naming the flag
// or value at fault.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "tools/kivod/kivod_options.h"

namespace {

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

}  // namespace
