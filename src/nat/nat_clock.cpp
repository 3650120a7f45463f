#include "nat/nat_clock.h"

#include <chrono>

namespace nat {
namespace {

class system_clock_seconds final : public nat_clock {
public:
    std::int64_t now_seconds() const noexcept override
    {
        // system_clock counts from 1970 on every platform since C++20.
        const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
        return std::chrono::floor<std::chrono::seconds>(since_epoch).count();
    }
};

}  // namespace

std::shared_ptr<const nat_clock> system_nat_clock()
{
    static const std::shared_ptr<const nat_clock> instance = std::make_shared<system_clock_seconds>();
    return instance;
}

}  // namespace nat
