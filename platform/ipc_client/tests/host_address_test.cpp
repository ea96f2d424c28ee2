// The host argument of a binder: names and IPv4 and IPv6 addresses, with and without ports, and
// the texts that are no host at all.

#include <gtest/gtest.h>

#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"
#include "platform/ipc_client/host_address.h"

namespace {

TEST(HostAddress, HostsWithAndWithoutPortsAreReadAndShown) {
    // The text, and the host it names.
    const std::pair<std::string, std::string> cases[] = {
        {"kivo.example", "kivo.example:7446"},
        {"kivo-1.example.:8000", "kivo-1.example.:8000"},
        {"127.0.0.1:1", "127.0.0.1:1"},
        {"h_2:65535", "h_2:65535"},
        {"[::1]", "[::1]:7446"},
        {"[2001:db8::7]:00080", "[2001:db8::7]:80"},
        {"fe80::1:80", "[fe80::1:80]:7446"},  // bare: all of it is the address
        {"::ffff:10.0.0.1", "[::ffff:10.0.0.1]:7446"},
        {std::string(253, 'n'), std::string(253, 'n') + ":7446"}};
    for (const auto& [text, shown] : cases) {
        IPCClient::HostAddress address;
        ASSERT_TRUE(IPCClient::ParseHost(text, address).IsEmpty()) << text;
        EXPECT_EQ(address.Display(), shown);
    }
}

TEST(HostAddress, TextsThatAreNoHostAreRefusedQuoted) {
    const std::string texts[] = {
        "",           ":7446",       "host:",          "host:0",
        "host:65536", "host:123456", "host:+80",       "host:8x",
        "host:80:90", "host name",   " host",          "host\x01",
        "h/x",        "[::1",        "[::1]x",         "[::1]:",
        "[::1]:0",    "[]",          "[127.0.0.1]",    "[host]:80",
        "a:b:c",      "fe80::1::2",  "[fe80::1%eth0]", std::string(254, 'n')};
    for (const std::string& text : texts) {
        IPCClient::HostAddress address{"kept"};
        const Common::Error error = IPCClient::ParseHost(text, address);
        EXPECT_EQ(error.Code(), Binding::kIpcClientBadHost) << text;
        EXPECT_NE(Common::ToUtf8(error.Message()).find("'" + text + "'"), std::string::npos)
            << text;
        EXPECT_EQ(address.name, "kept") << text;
    }
}

}  // namespace
