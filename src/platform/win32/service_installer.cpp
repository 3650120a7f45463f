#include "platform/service_installer.h"
#include "platform/win32_errors.h"

#include "platform/win32/utf16_text.h"

#include <vector>
#include <windows.h>

namespace platform {

namespace {

class scm_installer final : public service_installer {
public:
    ~scm_installer() override
    {
        if (service_ != nullptr)
            CloseServiceHandle(service_);
        if (manager_ != nullptr)
            CloseServiceHandle(manager_);
    }

    std::uint32_t module_path(std::size_t max_length, std::string& path) override
    {
        std::vector<wchar_t> buffer(max_length + 1);
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return GetLastError();
        if (n > max_length)
            return error_insufficient_buffer;
        path = win32::to_utf8(std::wstring_view(buffer.data(), n));
        return 0;
    }

    std::uint32_t open_manager(bool create) override
    {
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | (create ? SC_MANAGER_CREATE_SERVICE : 0));
        return manager_ == nullptr ? GetLastError() : 0;
    }

    std::uint32_t create_service(const service_definition& d) override
    {
        const std::wstring name = win32::to_utf16(d.name);
        const std::wstring display = win32::to_utf16(d.display_name);
        const std::wstring image = win32::to_utf16(d.image_path);
        const std::wstring account = win32::to_utf16(d.account);
        const std::wstring password = d.password ? win32::to_utf16(*d.password) : std::wstring();
        const wchar_t no_dependencies[2] = {L'\0', L'\0'};
        service_ = CreateServiceW(manager_, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, d.start_type, SERVICE_ERROR_NORMAL, image.c_str(),
                                  nullptr, nullptr, no_dependencies, account.c_str(),
                                  d.password ? password.c_str() : nullptr);
        return service_ == nullptr ? GetLastError() : 0;
    }

    std::uint32_t set_description(const std::string& description) override
    {
        std::wstring text = win32::to_utf16(description);
        SERVICE_DESCRIPTIONW info{};
        info.lpDescription = text.data();
        return ChangeServiceConfig2W(service_, SERVICE_CONFIG_DESCRIPTION, &info) ? 0 : GetLastError();
    }

    std::uint32_t open_service(const std::string& name) override
    {
        service_ = OpenServiceW(manager_, win32::to_utf16(name).c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
        return service_ == nullptr ? GetLastError() : 0;
    }

    std::uint32_t control_stop(std::uint32_t& state) override
    {
        SERVICE_STATUS status{};
        if (!ControlService(service_, SERVICE_CONTROL_STOP, &status))
            return GetLastError();
        state = status.dwCurrentState;
        return 0;
    }

    std::uint32_t query_state(std::uint32_t& state) override
    {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service_, &status))
            return GetLastError();
        state = status.dwCurrentState;
        return 0;
    }

    std::uint32_t delete_service() override { return DeleteService(service_) ? 0 : GetLastError(); }

    std::uint32_t create_log_folder(const std::string& path) override
    {
        const std::wstring wide = win32::to_utf16(path);
        for (std::size_t i = 0; i <= wide.size(); ++i) {
            if (i != wide.size() && wide[i] != L'\\' && wide[i] != L'/')
                continue;
            const std::wstring folder = wide.substr(0, i);
            if (folder.empty() || folder.back() == L':')
                continue;  // a drive, not a folder
            if (!CreateDirectoryW(folder.c_str(), nullptr)) {
                const DWORD error = GetLastError();
                // An existing folder may also answer "access denied" where its parent
                // refuses creation; only a folder that is not there is a failure.
                const DWORD attributes = GetFileAttributesW(folder.c_str());
                if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
                    return error == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY : error;
            }
        }
        return 0;
    }

    std::uint32_t delete_event_log_key(const std::string& key_path) override
    {
        return static_cast<std::uint32_t>(RegDeleteKeyW(HKEY_LOCAL_MACHINE, win32::to_utf16(key_path).c_str()));
    }

private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

}  // namespace

std::unique_ptr<service_installer> make_system_service_installer()
{
    return std::make_unique<scm_installer>();
}

}  // namespace platform
