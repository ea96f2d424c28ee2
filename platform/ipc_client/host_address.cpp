#include "platform/ipc_client/host_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"

namespace IPCClient {
namespace {

// The longest DNS name.
constexpr size_t kMaxNameBytes = 253;

bool IsIpv6Address(std::string_view text) {
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) {
        return false;
    }
    in6_addr address{};
    return ::inet_pton(AF_INET6, std::string(text).c_str(), &address) == 1;
}

bool IsName(std::string_view text) {
    return !text.empty() && text.size() <= kMaxNameBytes &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_' || c == '.';
           });
}

bool ReadPort(std::string_view text, uint16_t& port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > UINT16_MAX) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// Reads ":port" (or nothing, which keeps the default) after the host's name.
bool ReadPortSuffix(std::string_view text, uint16_t& port) {
    return text.empty() || (text.front() == ':' && ReadPort(text.substr(1), port));
}

}  // namespace

std::string HostAddress::Display() const {
    const std::string shown = name.find(':') == std::string::npos ? name : "[" + name + "]";
    return shown + ":" + std::to_string(port);
}

Common::Error ParseHost(std::string_view text, HostAddress& address) {
    HostAddress read;
    bool good = false;
    if (text.starts_with('[')) {
        const size_t close = text.find(']');
        if (close != std::string_view::npos) {
            read.name = text.substr(1, close - 1);
            good = IsIpv6Address(read.name) && ReadPortSuffix(text.substr(close + 1), read.port);
        }
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        read.name = text;
        good = IsIpv6Address(read.name);
    } else {
        const size_t colon = std::min(text.find(':'), text.size());
        read.name = text.substr(0, colon);
        good = IsName(read.name) && ReadPortSuffix(text.substr(colon), read.port);
    }
    if (!good) {
        return Common::Error(
            COMMON_PLACE("IPCClient::ParseHost"), Binding::kIpcClientBadHost,
            Common::FormatCatalogMessage(Common::GetCatalogMessage(Common::kMsgIpcClientBadHost),
                                         {Common::ToUtf16(text)}));
    }
    address = std::move(read);
    return Common::Error();
}

}  // namespace IPCClient
