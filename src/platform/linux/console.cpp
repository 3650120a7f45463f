#include "platform/console.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace platform {

namespace {

std::atomic<std::uint32_t>* stop_flag = nullptr;

extern "C" void on_stop_signal(int)
{
    // Only a lock-free atomic store: the handler may interrupt any code of the process.
    std::atomic<std::uint32_t>* flag = stop_flag;
    if (flag != nullptr)
        flag->store(1);
}

}  // namespace

std::vector<std::string> process_arguments(int argc, char** argv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
    return arguments;
}

void write_console(std::string_view utf8)
{
    std::cout.flush();
    std::fflush(stdout);
    while (!utf8.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, utf8.data(), utf8.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        utf8.remove_prefix(static_cast<std::size_t>(n));
    }
}

void set_console_stop_flag(std::atomic<std::uint32_t>* flag)
{
    static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    if (flag != nullptr) {
        stop_flag = flag;
        action.sa_handler = on_stop_signal;
    } else {
        action.sa_handler = SIG_DFL;
    }
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (flag == nullptr)
        stop_flag = nullptr;
}

}  // namespace platform
