#pragma once
// The corvflt daemon's command line and its parameters file (the stand-in for the driver's
// registry key). Parsing only: nothing here touches devices or namespaces, so main() and the
// unit tests share it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver.h"

namespace corvflt::linux_host {

// One --adapter STACK,MEDIUM,WIRE_NETNS,WIRE_IF.
struct adapter_spec {
    std::string stack_name;   // interface in corvflt's own namespace
    std::uint32_t medium = 0; // tarnwell::NDIS_MEDIUM_IP (TUN) or NDIS_MEDIUM_802_3 (TAP)
    std::string wire_netns;   // name under /run/netns
    std::string wire_name;    // interface inside that namespace
};

struct options {
    std::string parameters_file;  // empty: every parameter 0
    std::vector<adapter_spec> adapters;
};

// Returns the options, or nullopt with `error` set to one line naming what is wrong.
std::optional<options> parse_command_line(int argc, const char* const* argv, std::string* error);

// Parses one --adapter value; nullopt with `error` set when malformed.
std::optional<adapter_spec> parse_adapter_spec(const std::string& text, std::string* error);

// "MTUDecrement=N" and "StartupMode=N" lines; any value that is missing, not a plain decimal
// (or 0x hexadecimal) number, or out of u32 range leaves that parameter 0.
driver_parameters parse_parameters(const std::string& text);
// Reads the file; an unreadable file is reported in `error` and yields all zero.
driver_parameters read_parameters_file(const std::string& path, std::string* error);

const char* usage_text();

// An interface name the kernel accepts (1..15 bytes, no '/', ':' or whitespace).
bool valid_interface_name(const std::string& name);

}  // namespace corvflt::linux_host
