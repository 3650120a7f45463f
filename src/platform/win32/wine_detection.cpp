#include "platform/wine_detection.h"

#include <windows.h>

namespace platform {

bool running_under_wine()
{
    // Wine's ntdll exports its version; Windows' does not.
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace platform
