#pragma once
// Whether the Windows build runs under Wine rather than Windows. Only tests use it, to skip
// exactly the checks of Windows behaviour that Wine does not reproduce; false on Linux.

namespace platform {

bool running_under_wine();

}  // namespace platform
