#include "platform/event_log.h"

#include "platform/win32/utf16_text.h"

#include <windows.h>

namespace platform {

bool report_event(const std::string& source, std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                  const std::vector<std::string>& strings)
{
    if (strings.size() > 0xFFFF)
        return false;
    HANDLE log = RegisterEventSourceW(nullptr, win32::to_utf16(source).c_str());
    if (log == nullptr)
        return false;
    std::vector<std::wstring> wide;
    wide.reserve(strings.size());
    for (const auto& s : strings)
        wide.push_back(win32::to_utf16(s));
    std::vector<LPCWSTR> pointers;
    pointers.reserve(wide.size());
    for (const auto& w : wide)
        pointers.push_back(w.c_str());
    const BOOL ok = ReportEventW(log, type, category, event_id, nullptr, static_cast<WORD>(pointers.size()), 0,
                                 pointers.empty() ? nullptr : pointers.data(), nullptr);
    DeregisterEventSource(log);
    return ok != FALSE;
}

}  // namespace platform
