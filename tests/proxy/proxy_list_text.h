#pragma once
// A proxy_list as one line of text ("socks 10.0.0.5:1080, http fd00::1:3128"), so that the
// discovery tests compare whole lists, order included, in one readable expectation.

#include <string>

#include "proxy/proxy_list.h"

namespace proxy_test {

inline std::string describe(const proxy::proxy_list& list)
{
    static const char* const kinds[] = {"http", "https", "ftp", "socks"};
    std::string out;
    for (const proxy::proxy_list_entry& entry : list) {
        if (!out.empty())
            out += ", ";
        const auto kind = static_cast<unsigned>(entry.kind);
        out += kind < 4 ? kinds[kind] : "?";
        out += ' ';
        for (std::size_t i = 0; i < entry.addresses.size(); ++i)
            out += (i ? "|" : "") + net::to_string(entry.addresses[i]);
        out += ':' + std::to_string(entry.port);
    }
    return out;
}

}  // namespace proxy_test
