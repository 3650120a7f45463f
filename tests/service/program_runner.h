#pragma once
// Runs the real corvane-service program and collects what it writes to standard output.
// One implementation per OS (linux/, win32/).

#include <string>
#include <utility>
#include <vector>

struct program_result {
    bool started = false;
    int exit_code = -1;  // the low 8 bits are what both systems agree on
    std::string output;
};

// `arguments` follow the program name. `environment` entries are added to (or, with an
// empty value on Linux, removed from) the child's environment.
program_result run_service_program(const std::vector<std::string>& arguments,
                                   const std::vector<std::pair<std::string, std::string>>& environment = {});

// Sets a variable of this test process (inherited by programs it starts).
void set_test_environment(const std::string& name, const std::string& value);

// A fresh, empty directory for one test.
std::string make_test_directory();
