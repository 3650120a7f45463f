#include <string>

#include "net/ip_address.h"

// Every address that comes out must print and parse back to itself.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const auto& address : net::parse_address_list(text)) {
        const std::string printed = net::to_string(address);
        const auto again = net::parse_address_list(printed);
        if (again.size() != 1 || !(again[0] == address))
            __builtin_trap();
    }
    return 0;
}
