#include "platform/console.h"
#include "service/program.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    try {
        return service::run_program(platform::process_arguments(argc, argv));
    } catch (const std::exception& e) {
        // The service object's constructor is the one thing that may throw out of the
        // entry; say why instead of terminating without a word.
        std::fprintf(stderr, "corvane-service: %s\n", e.what());
        return 1;
    }
}
