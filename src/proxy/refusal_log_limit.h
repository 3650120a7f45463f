#pragma once
// At most one log line a second about refused clients, however fast a flood refuses them;
// the next line that goes out says how many were left out meanwhile. Thread-safe.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

namespace proxy {

class refusal_log_limit {
public:
    // Counts one refusal. When a line may go out now: how many refusals were left out since
    // the last line; otherwise nothing.
    std::optional<std::uint64_t> admit_line()
    {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (logged_once_ && now - last_line_ < std::chrono::seconds(1)) {
            ++left_out_;
            return std::nullopt;
        }
        logged_once_ = true;
        last_line_ = now;
        const std::uint64_t left_out = left_out_;
        left_out_ = 0;
        return left_out;
    }

private:
    std::mutex mutex_;
    bool logged_once_ = false;
    std::chrono::steady_clock::time_point last_line_{};
    std::uint64_t left_out_ = 0;
};

}  // namespace proxy
