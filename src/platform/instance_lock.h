#pragma once
// A machine-wide single-instance guard. One header, one backend per OS.
//
// Windows: the named mutex `name` (for example "Global\CorvaneService"), created with initial
// ownership; another holder shows as error 183 (already exists) or 5 (access denied, a
// holder of another account).
// Linux: an exclusive flock on "<dir>/<name without a "Global\" or "Local\" prefix>.lock",
// where <dir> is $CORVANE_RUN_DIR when set and not empty, else "/run". The lock belongs to
// the open file, so it ends with the process however the process ends. A lock file that
// exists but cannot be written (another account's) is opened read-only, which flock accepts.
//
// A guard that cannot be set up at all (no mutex, no lock file) is not reported as another
// instance: the program then runs unguarded, as it would on Windows with any other error.

#include <cstdint>
#include <string>

namespace platform {

enum class instance_lock_state { acquired, held_elsewhere, unavailable };

// Owns the mutex handle or lock file descriptor. Created once by the entry point, held for
// the life of the process.
class instance_lock {
public:
    explicit instance_lock(const std::string& name);
    ~instance_lock();
    instance_lock(const instance_lock&) = delete;
    instance_lock& operator=(const instance_lock&) = delete;

    instance_lock_state state() const { return state_; }
    // The OS error behind held_elsewhere or unavailable; 0 when acquired.
    std::uint32_t error() const { return error_; }

private:
    std::intptr_t handle_ = -1;
    instance_lock_state state_ = instance_lock_state::unavailable;
    std::uint32_t error_ = 0;
};

}  // namespace platform
