#pragma once
// The fixed names and values of the program's service registration.

#include <cstddef>
#include <cstdint>

namespace service {

inline constexpr char instance_mutex_name[] = "Global\\CorvaneService";
inline constexpr char service_name[] = "corvane-service";
inline constexpr char service_display_name[] = "Corvane Service";
inline constexpr char service_description[] =
    "Corvane Service implements NAT/PROXY service for Wireguard Server on Windows.";
inline constexpr char default_account[] = "NT AUTHORITY\\LocalService";
inline constexpr std::uint32_t default_start_type = 2;
inline constexpr std::uint32_t own_process_service_type = 0x10;
// Stop (1) and shutdown (4); pause and continue are not accepted.
inline constexpr std::uint32_t accepted_controls = 0x5;

// Sizes of the wide buffers the texts are built in, terminator included.
inline constexpr std::size_t command_line_buffer = 260;
inline constexpr std::size_t image_path_buffer = 520;
inline constexpr std::size_t module_path_buffer = 260;
inline constexpr std::size_t message_buffer = 260;
inline constexpr std::size_t registry_path_buffer = 256;

}  // namespace service
