#include "platform/instance_lock.h"

#include "platform/win32/utf16_text.h"

#include <windows.h>

namespace platform {

instance_lock::instance_lock(const std::string& name)
{
    HANDLE mutex = CreateMutexW(nullptr, TRUE, win32::to_utf16(name).c_str());
    const DWORD error = GetLastError();
    if (mutex != nullptr)
        handle_ = reinterpret_cast<std::intptr_t>(mutex);
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
        state_ = instance_lock_state::held_elsewhere;
        error_ = error;
        return;
    }
    if (mutex == nullptr) {
        state_ = instance_lock_state::unavailable;
        error_ = error;
        return;
    }
    state_ = instance_lock_state::acquired;
}

instance_lock::~instance_lock()
{
    if (handle_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

}  // namespace platform
