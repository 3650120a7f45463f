#pragma once
// What the forwarder tests share: a log that can be searched while the forwarder writes it.

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"

namespace dns_test {

class captured_log {
public:
    log_printer printer()
    {
        return [this](const char* line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        };
    }
    std::size_t count(const std::string& text) const
    {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        }));
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace dns_test
