#pragma once
// The program's entry: the single-instance guard, the usage text, and the dispatch on the
// command ("install", "uninstall", "service", "run"). Returns the process exit code.

#include <string>
#include <vector>

namespace service {

// `arguments`: the whole command line in UTF-8, the program name first.
int run_program(const std::vector<std::string>& arguments);

// The usage text, printed as these nine separate outputs in order.
extern const char* const usage_parts[9];

}  // namespace service
