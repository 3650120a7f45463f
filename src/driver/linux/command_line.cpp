#include "driver/linux/command_line.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tarnwell/control_interface.h"

namespace corvflt::linux_host {

namespace {

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (c == separator) {
            parts.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    parts.push_back(current);
    return parts;
}

std::string trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Strict u32: digits only (or 0x + hex digits), no sign, no trailing text, no overflow.
std::optional<std::uint32_t> parse_u32(const std::string& text)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

bool valid_netns_name(const std::string& name)
{
    if (name.empty() || name == "." || name == ".." || name.size() > 255)
        return false;
    for (unsigned char c : name) {
        if (c == '/' || c <= ' ' || c == 0x7F)
            return false;
    }
    return true;
}

}  // namespace

bool valid_interface_name(const std::string& name)
{
    if (name.empty() || name.size() > 15 || name == "." || name == "..")
        return false;
    for (unsigned char c : name) {
        if (c == '/' || c == ':' || c <= ' ' || c == 0x7F)
            return false;
    }
    return true;
}

std::optional<adapter_spec> parse_adapter_spec(const std::string& text, std::string* error)
{
    const auto parts = split(text, ',');
    if (parts.size() != 4) {
        *error = "--adapter needs STACK,MEDIUM,WIRE_NETNS,WIRE_IF, got \"" + text + "\"";
        return std::nullopt;
    }
    adapter_spec spec;
    spec.stack_name = parts[0];
    spec.wire_netns = parts[2];
    spec.wire_name = parts[3];
    if (!valid_interface_name(spec.stack_name)) {
        *error = "invalid stack interface name \"" + spec.stack_name + "\"";
        return std::nullopt;
    }
    if (parts[1] == "ip") {
        spec.medium = tarnwell::NDIS_MEDIUM_IP;
    } else if (parts[1] == "ethernet") {
        spec.medium = tarnwell::NDIS_MEDIUM_802_3;
    } else {
        *error = "medium must be ip or ethernet, got \"" + parts[1] + "\"";
        return std::nullopt;
    }
    if (!valid_netns_name(spec.wire_netns)) {
        *error = "invalid namespace name \"" + spec.wire_netns + "\"";
        return std::nullopt;
    }
    if (!valid_interface_name(spec.wire_name)) {
        *error = "invalid wire interface name \"" + spec.wire_name + "\"";
        return std::nullopt;
    }
    return spec;
}

std::optional<options> parse_command_line(int argc, const char* const* argv, std::string* error)
{
    options result;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--adapter" || arg == "--parameters") {
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return std::nullopt;
            }
            const std::string value = argv[++i];
            if (arg == "--parameters") {
                if (value.empty()) {
                    *error = "--parameters needs a file name";
                    return std::nullopt;
                }
                result.parameters_file = value;
                continue;
            }
            auto spec = parse_adapter_spec(value, error);
            if (!spec)
                return std::nullopt;
            for (const adapter_spec& other : result.adapters) {
                // Two adapters over one device would read each other's packets.
                if (other.stack_name == spec->stack_name ||
                    (other.wire_netns == spec->wire_netns && other.wire_name == spec->wire_name)) {
                    *error = "interface named twice in \"" + value + "\"";
                    return std::nullopt;
                }
            }
            result.adapters.push_back(*spec);
        } else {
            *error = "unknown argument \"" + arg + "\"";
            return std::nullopt;
        }
    }
    if (result.adapters.empty()) {
        *error = "at least one --adapter is required";
        return std::nullopt;
    }
    return result;
}

driver_parameters parse_parameters(const std::string& text)
{
    driver_parameters parameters;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string name = trim(line.substr(0, equals));
        const auto value = parse_u32(trim(line.substr(equals + 1)));
        if (name == "MTUDecrement")
            parameters.mtu_decrement = value.value_or(0);
        else if (name == "StartupMode")
            parameters.startup_mode = value.value_or(0);
    }
    return parameters;
}

driver_parameters read_parameters_file(const std::string& path, std::string* error)
{
    std::ifstream file(path);
    if (!file) {
        *error = "cannot read parameters file " + path;
        return {};
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parse_parameters(text.str());
}

const char* usage_text()
{
    return "usage: corvflt [--parameters FILE] --adapter STACK,MEDIUM,WIRE_NETNS,WIRE_IF ...\n"
           "  STACK       stack-side interface in this namespace (created if missing)\n"
           "  MEDIUM      ip (TUN, bare IP packets) or ethernet (TAP)\n"
           "  WIRE_NETNS  peer namespace name (/run/netns/NAME)\n"
           "  WIRE_IF     wire-side interface in that namespace (created if missing)\n"
           "  FILE        MTUDecrement=N and StartupMode=N lines\n"
           "environment: CORVFLT_DEVICE_DIR (default /run/corvflt) holds the control socket\n";
}

}  // namespace corvflt::linux_host
