// Adapter names on Windows: the network adapter class and network connection keys of the
// registry, read with the ANSI registry calls because the driver's names are ANSI.

#include "platform/adapter_names.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace platform {
namespace {

constexpr char adapter_class_key[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char connection_key_prefix[] =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";
constexpr char connection_key_suffix[] = "\\Connection";
constexpr std::size_t registry_string_size = 260;
constexpr std::size_t key_path_size = 520;
// "\DEVICE\" in front of the adapter's id.
constexpr std::size_t device_prefix_length = 8;

// Closes the key on every path out.
class registry_key {
public:
    registry_key(HKEY parent, const char* path)
    {
        if (::RegOpenKeyExA(parent, path, 0, KEY_READ, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~registry_key()
    {
        if (key_)
            ::RegCloseKey(key_);
    }
    registry_key(const registry_key&) = delete;
    registry_key& operator=(const registry_key&) = delete;

    HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }

private:
    HKEY key_ = nullptr;
};

// Reads a string value into `out` (zero-terminated, at most `out_size` bytes). The
// registry does not promise a terminator, so one is added within the buffer.
bool read_string(HKEY key, const char* value, char* out, std::size_t out_size)
{
    if (out_size == 0)
        return false;
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(out_size);
    if (::RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(out), &size) !=
        ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ)
        return false;
    out[size < out_size ? size : out_size - 1] = '\0';
    return true;
}

}  // namespace

bool is_windows_version_or_greater(std::uint32_t major, std::uint32_t minor)
{
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = major;
    info.dwMinorVersion = minor;
    info.wServicePackMajor = 0;
    DWORDLONG mask = 0;
    mask = ::VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return ::VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                                mask) != FALSE;
}

bool is_component_adapter(const char* name, const char* component_id)
{
    if (!name || !component_id)
        return false;
    registry_key adapters(HKEY_LOCAL_MACHINE, adapter_class_key);
    if (!adapters)
        return false;
    for (DWORD index = 0;; ++index) {
        char subkey_name[256];
        DWORD subkey_length = sizeof subkey_name;
        const LONG result = ::RegEnumKeyExA(adapters.get(), index, subkey_name, &subkey_length,
                                            nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            return false;
        // A name too long for a key name cannot be an adapter's; any other failure would
        // repeat for every later index, so it ends the search instead of looping.
        if (result == ERROR_MORE_DATA)
            continue;
        if (result != ERROR_SUCCESS)
            return false;

        registry_key adapter(adapters.get(), subkey_name);
        if (!adapter)
            continue;
        char component[registry_string_size];
        if (!read_string(adapter.get(), "ComponentId", component, sizeof component) ||
            ::lstrcmpiA(component, component_id) != 0)
            continue;
        registry_key linkage(adapter.get(), "Linkage");
        if (!linkage)
            continue;
        char exported[registry_string_size];
        // A multi-string value reads as its first string: the terminator stops lstrcmpiA.
        if (read_string(linkage.get(), "Export", exported, sizeof exported) &&
            ::lstrcmpiA(exported, name) == 0)
            return true;
    }
}

bool read_connection_name(const char* name, char* out, std::size_t out_size)
{
    if (!name || std::strlen(name) < device_prefix_length)
        return false;
    char path[key_path_size];
    const std::size_t id_length = std::strlen(name) - device_prefix_length;
    if (sizeof connection_key_prefix - 1 + id_length + sizeof connection_key_suffix >
        sizeof path)
        return false;
    std::memcpy(path, connection_key_prefix, sizeof connection_key_prefix - 1);
    std::size_t used = sizeof connection_key_prefix - 1;
    std::memcpy(path + used, name + device_prefix_length, id_length);
    used += id_length;
    std::memcpy(path + used, connection_key_suffix, sizeof connection_key_suffix);

    registry_key connection(HKEY_LOCAL_MACHINE, path);
    if (!connection)
        return false;
    if (!out || out_size == 0)
        return true;
    // Read aside so that a failed or oversized read leaves `out` as it was.
    std::vector<char> value(out_size);
    if (read_string(connection.get(), "Name", value.data(), value.size()))
        std::memcpy(out, value.data(), std::strlen(value.data()) + 1);
    return true;
}

bool is_wow64_process()
{
    if (!is_windows_version_or_greater(5, 1))
        return false;
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (!kernel)
        return false;
    using is_wow64_function = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto is_wow64 = reinterpret_cast<is_wow64_function>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process")));
    BOOL wow64 = FALSE;
    return is_wow64 && is_wow64(::GetCurrentProcess(), &wow64) && wow64;
}

}  // namespace platform
