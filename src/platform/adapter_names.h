#pragma once
// What the operating system knows about a network adapter's names, for the driver client:
// the connection name users see, whether an adapter is a given network component, the
// system version that decides how WAN miniports are recognised, and whether the process
// runs under WOW64. One header, one backend per OS. Nothing throws.
//
// Windows: the network adapter class key and the network connection keys of the registry
// (HKEY_LOCAL_MACHINE, ANSI reads), VerifyVersionInfoW, IsWow64Process.
//
// Linux: the driver host names its adapters "\DEVICE\{ifname}" and users know them as
// "ifname", so the connection name is read off the internal name. Linux has no network
// components and no WAN miniports: is_component_adapter is always false. Linux is not
// Windows, so is_windows_version_or_greater is false for every version; callers that tell
// pre-Windows-10 WAN miniports apart by their fixed device names therefore do so here too
// (the host never produces such names; in-process test adapters may).

#include <cstddef>
#include <cstdint>

namespace platform {

// Windows major.minor (service pack 0) or later, each compared greater-or-equal.
bool is_windows_version_or_greater(std::uint32_t major, std::uint32_t minor);

// True when an adapter of the network adapter class has the component id `component_id`
// and its linkage exports `name` (both compared ignoring case; only the first string of a
// multi-string export counts).
bool is_component_adapter(const char* name, const char* component_id);

// The connection name of the adapter whose internal name is `name` ("\DEVICE\" + id),
// written zero-terminated into `out` (at most `out_size` bytes, truncated to fit).
// False, with `out` untouched, when the system has no connection for that name. When the
// connection exists but its name cannot be read, true with `out` untouched.
bool read_connection_name(const char* name, char* out, std::size_t out_size);

// True when this process is a 32-bit process on a 64-bit Windows. Always false on Linux.
bool is_wow64_process();

}  // namespace platform
