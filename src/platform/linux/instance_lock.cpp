#include "platform/instance_lock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

namespace {

std::string lock_file_path(const std::string& name)
{
    std::string_view base = name;
    for (std::string_view prefix : {std::string_view("Global\\"), std::string_view("Local\\")}) {
        if (base.substr(0, prefix.size()) == prefix)
            base.remove_prefix(prefix.size());
    }
    const char* dir = std::getenv("CORVANE_RUN_DIR");
    std::string path = (dir != nullptr && *dir != '\0') ? dir : "/run";
    path += '/';
    path += base;
    path += ".lock";
    return path;
}

}  // namespace

instance_lock::instance_lock(const std::string& name)
{
    const std::string path = lock_file_path(name);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = static_cast<std::uint32_t>(errno);
        state_ = instance_lock_state::unavailable;
        return;
    }
    handle_ = fd;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        state_ = instance_lock_state::acquired;
        return;
    }
    error_ = static_cast<std::uint32_t>(errno);
    state_ = errno == EWOULDBLOCK ? instance_lock_state::held_elsewhere : instance_lock_state::unavailable;
}

instance_lock::~instance_lock()
{
    // Closing the descriptor releases the lock; the file stays for the next run.
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
}

}  // namespace platform
