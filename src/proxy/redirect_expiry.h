#pragma once
// The once-a-second thread of a redirect table that drops entries idle for too long.
// Owned by the table; stop() (or destruction) ends and joins it within one tick.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace proxy {

using redirect_clock = std::function<std::chrono::steady_clock::time_point()>;

class redirect_expiry {
public:
    explicit redirect_expiry(std::function<void()> pass) : pass_(std::move(pass)) {}
    ~redirect_expiry() { stop(); }
    redirect_expiry(const redirect_expiry&) = delete;
    redirect_expiry& operator=(const redirect_expiry&) = delete;

    void start()
    {
        std::lock_guard lock(mutex_);
        if (thread_.joinable())
            return;
        stopping_ = false;
        thread_ = std::thread([this] {
            std::unique_lock guard(mutex_);
            while (!wake_.wait_for(guard, std::chrono::seconds(1), [this] { return stopping_; })) {
                guard.unlock();
                pass_();
                guard.lock();
            }
        });
    }
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::function<void()> pass_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace proxy
