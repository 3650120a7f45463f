#include "platform/console.h"

#include "platform/win32/utf16_text.h"

#include <cstdio>
#include <iostream>
#include <windows.h>
// after windows.h, which it needs
#include <shellapi.h>

namespace platform {

namespace {

std::atomic<std::uint32_t>* stop_flag = nullptr;

BOOL WINAPI on_console_control(DWORD control)
{
    switch (control) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
        std::atomic<std::uint32_t>* flag = stop_flag;
        if (flag == nullptr)
            return FALSE;
        flag->store(1);
        return TRUE;
    }
    default:
        return FALSE;
    }
}

}  // namespace

std::vector<std::string> process_arguments(int argc, char** argv)
{
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        // Without the wide command line the narrow one is the best there is.
        for (int i = 0; i < argc; ++i)
            arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
        return arguments;
    }
    for (int i = 0; i < count; ++i)
        arguments.push_back(win32::to_utf8(wide[i]));
    LocalFree(wide);
    return arguments;
}

void write_console(std::string_view utf8)
{
    std::cout.flush();
    std::fflush(stdout);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || utf8.empty())
        return;
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode)) {
        // A real console shows UTF-16 correctly whatever its code page.
        const std::wstring wide = win32::to_utf16(utf8);
        const wchar_t* p = wide.data();
        std::size_t left = wide.size();
        while (left > 0) {
            DWORD written = 0;
            const DWORD chunk = left > 16384 ? 16384 : static_cast<DWORD>(left);
            if (!WriteConsoleW(out, p, chunk, &written, nullptr) || written == 0)
                return;
            p += written;
            left -= written;
        }
        return;
    }
    // Pipes and files get UTF-8 bytes exactly as given (no CRLF translation), as on Linux.
    const char* p = utf8.data();
    std::size_t left = utf8.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = left > 65536 ? 65536 : static_cast<DWORD>(left);
        if (!WriteFile(out, p, chunk, &written, nullptr) || written == 0)
            return;
        p += written;
        left -= written;
    }
}

void set_console_stop_flag(std::atomic<std::uint32_t>* flag)
{
    if (flag != nullptr) {
        stop_flag = flag;
        SetConsoleCtrlHandler(on_console_control, TRUE);
    } else {
        SetConsoleCtrlHandler(on_console_control, FALSE);
        stop_flag = nullptr;
    }
}

}  // namespace platform
