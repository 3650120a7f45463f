#include "program_runner.h"

#include <filesystem>
#include <random>
#include <windows.h>

namespace {

std::wstring widen(const std::string& s)
{
    if (s.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
    return out;
}

// Quotes one argument the way CommandLineToArgvW reads it back.
std::wstring quote(const std::wstring& argument)
{
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

// ctest hands the Unix path of the program; inside Wine the root is drive Z:.
std::wstring program_path()
{
    std::string path = CORVANE_SERVICE_BINARY;
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
        for (char& c : path) {
            if (c == '/')
                c = '\\';
        }
    }
    return widen(path);
}

}  // namespace

program_result run_service_program(const std::vector<std::string>& arguments,
                                   const std::vector<std::pair<std::string, std::string>>& environment)
{
    program_result result;
    for (const auto& [name, value] : environment)
        SetEnvironmentVariableW(widen(name).c_str(), value.empty() ? nullptr : widen(value).c_str());

    const std::wstring program = program_path();
    std::wstring command_line = quote(program);
    for (const auto& a : arguments)
        command_line += L" " + quote(widen(a));

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0))
        return result;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    const BOOL ok = CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                   &startup, &process);
    CloseHandle(write_end);
    if (ok) {
        result.started = true;
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0)
            result.output.append(buffer, n);
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result.exit_code = static_cast<int>(code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(read_end);
    for (const auto& [name, value] : environment)
        SetEnvironmentVariableW(widen(name).c_str(), nullptr);
    return result;
}

void set_test_environment(const std::string& name, const std::string& value)
{
    SetEnvironmentVariableW(widen(name).c_str(), widen(value).c_str());
}

std::string make_test_directory()
{
    std::random_device random;
    const auto path = std::filesystem::temp_directory_path() /
                      ("corvane-service-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(random()));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path.string();
}
