#pragma once
// The options of the "install" command and the command line it stores for the service.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace service {

struct install_options {
    std::uint32_t start_type = 2;
    std::string account;
    std::optional<std::string> password;
    // What the service is started with after the program's path: "service" and the gateway
    // options, each value in double quotes.
    std::string command_line = "service";
};

// An option the installer cannot accept; what() is the message printed after
// "Couldn't install service: ".
class install_option_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads `arguments` (the whole process command line: program, "install", options) from the
// third on. Throws install_option_error for a bad start type, an unknown option or an option
// with no value after it.
install_options parse_install_options(const std::vector<std::string>& arguments);

}  // namespace service
