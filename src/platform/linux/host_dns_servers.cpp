#include "platform/host_dns_servers.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/linux/resolv_conf.h"

namespace platform {

namespace linux_backend {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view next_word(std::string_view& line)
{
    std::size_t start = 0;
    while (start < line.size() && is_blank(line[start]))
        ++start;
    std::size_t end = start;
    while (end < line.size() && !is_blank(line[end]))
        ++end;
    const std::string_view word = line.substr(start, end - start);
    line.remove_prefix(end);
    return word;
}

}  // namespace

host_dns_servers parse_resolv_conf(std::string_view text)
{
    host_dns_servers servers;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (next_word(line) != "nameserver")
            continue;
        std::string address(next_word(line));
        if (const std::size_t zone = address.find('%'); zone != std::string::npos)
            address.resize(zone);
        in_addr v4{};
        in6_addr v6{};
        if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
            servers.ipv4.push_back(v4);
        } else if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
            std::array<std::uint8_t, 16> bytes{};
            std::memcpy(bytes.data(), &v6, 16);
            servers.ipv6.push_back(bytes);
        }
    }
    return servers;
}

}  // namespace linux_backend

bool query_host_dns_servers(host_dns_servers& out)
{
    out = {};
    const char* configured = std::getenv("CORVANE_RESOLV_CONF");
    const char* path = configured && *configured ? configured : "/etc/resolv.conf";
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad())
        return false;
    out = linux_backend::parse_resolv_conf(text.str());
    return true;
}

}  // namespace platform
