#pragma once
// The Win32 and Winsock error numbers this project reports, on every backend: the Windows
// backends pass the system's own codes through, the Linux backends translate errno into these,
// and callers, tests and log lines compare against these names only. One definition per code;
// the Windows backend checks each one that mingw-w64's headers define against the SDK's value
// when it is built (win32/thread_error.cpp).
//
// Names are lower case so that they never meet the SDK's upper-case macros (ERROR_SUCCESS is
// a macro once windows.h is in). General codes are the ERROR_ name in lower case. Winsock codes
// are named by meaning; where a general code already holds that meaning under a lower number,
// the Winsock name says `socket_`: error_access_denied is 5, error_socket_access_denied 10013.
// Note that error_connection_refused, error_connection_aborted, error_not_connected and
// error_timed_out are the Winsock codes (100xx), not ERROR_CONNECTION_REFUSED (1225) and the
// like: the Windows backend turns those into the Winsock codes at its edge.

#include <cstdint>

namespace platform {

// --- General Win32 codes (GetLastError) ---
inline constexpr std::uint32_t error_success = 0;                 // ERROR_SUCCESS
inline constexpr std::uint32_t error_invalid_function = 1;        // ERROR_INVALID_FUNCTION
inline constexpr std::uint32_t error_file_not_found = 2;          // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t error_path_not_found = 3;          // ERROR_PATH_NOT_FOUND
inline constexpr std::uint32_t error_too_many_open_files = 4;     // ERROR_TOO_MANY_OPEN_FILES
inline constexpr std::uint32_t error_access_denied = 5;           // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t error_invalid_handle = 6;          // ERROR_INVALID_HANDLE
inline constexpr std::uint32_t error_not_enough_memory = 8;       // ERROR_NOT_ENOUGH_MEMORY
inline constexpr std::uint32_t error_gen_failure = 31;            // ERROR_GEN_FAILURE
inline constexpr std::uint32_t error_not_supported = 50;          // ERROR_NOT_SUPPORTED
inline constexpr std::uint32_t error_dup_name = 52;               // ERROR_DUP_NAME
inline constexpr std::uint32_t error_bad_net_name = 67;           // ERROR_BAD_NET_NAME
inline constexpr std::uint32_t error_invalid_parameter = 87;      // ERROR_INVALID_PARAMETER
inline constexpr std::uint32_t error_buffer_overflow = 111;       // ERROR_BUFFER_OVERFLOW
inline constexpr std::uint32_t error_insufficient_buffer = 122;   // ERROR_INSUFFICIENT_BUFFER
inline constexpr std::uint32_t error_invalid_name = 123;          // ERROR_INVALID_NAME
inline constexpr std::uint32_t error_filename_exced_range = 206;  // ERROR_FILENAME_EXCED_RANGE
inline constexpr std::uint32_t error_more_data = 234;             // ERROR_MORE_DATA
inline constexpr std::uint32_t error_wait_timeout = 258;          // WAIT_TIMEOUT
inline constexpr std::uint32_t error_handles_closed = 676;        // ERROR_HANDLES_CLOSED (not in mingw-w64)
inline constexpr std::uint32_t error_operation_aborted = 995;     // ERROR_OPERATION_ABORTED
inline constexpr std::uint32_t error_io_pending = 997;            // ERROR_IO_PENDING
inline constexpr std::uint32_t error_service_does_not_exist = 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
inline constexpr std::uint32_t error_service_not_active = 1062;      // ERROR_SERVICE_NOT_ACTIVE
// The process was not started by the service manager.
inline constexpr std::uint32_t error_failed_service_controller_connect =
    1063;  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
inline constexpr std::uint32_t error_service_exists = 1073;        // ERROR_SERVICE_EXISTS
inline constexpr std::uint32_t error_device_not_connected = 1167;  // ERROR_DEVICE_NOT_CONNECTED
inline constexpr std::uint32_t error_not_found = 1168;             // ERROR_NOT_FOUND
inline constexpr std::uint32_t error_network_unreachable = 1231;   // ERROR_NETWORK_UNREACHABLE
inline constexpr std::uint32_t error_host_unreachable = 1232;      // ERROR_HOST_UNREACHABLE
inline constexpr std::uint32_t error_none_mapped = 1332;           // ERROR_NONE_MAPPED
inline constexpr std::uint32_t error_no_system_resources = 1450;   // ERROR_NO_SYSTEM_RESOURCES
inline constexpr std::uint32_t error_invalid_operation = 4317;     // ERROR_INVALID_OPERATION

// --- Winsock codes (WSAGetLastError) ---
inline constexpr std::uint32_t error_interrupted = 10004;                   // WSAEINTR
inline constexpr std::uint32_t error_socket_access_denied = 10013;          // WSAEACCES
inline constexpr std::uint32_t error_bad_address = 10014;                   // WSAEFAULT
inline constexpr std::uint32_t error_invalid_argument = 10022;              // WSAEINVAL
inline constexpr std::uint32_t error_too_many_sockets = 10024;              // WSAEMFILE
inline constexpr std::uint32_t error_would_block = 10035;                   // WSAEWOULDBLOCK
inline constexpr std::uint32_t error_already_in_progress = 10037;           // WSAEALREADY
inline constexpr std::uint32_t error_not_socket = 10038;                    // WSAENOTSOCK
inline constexpr std::uint32_t error_destination_address_required = 10039;  // WSAEDESTADDRREQ
inline constexpr std::uint32_t error_message_size = 10040;                  // WSAEMSGSIZE
inline constexpr std::uint32_t error_wrong_protocol_type = 10041;           // WSAEPROTOTYPE
inline constexpr std::uint32_t error_bad_protocol_option = 10042;           // WSAENOPROTOOPT
inline constexpr std::uint32_t error_protocol_not_supported = 10043;        // WSAEPROTONOSUPPORT
inline constexpr std::uint32_t error_operation_not_supported = 10045;       // WSAEOPNOTSUPP
inline constexpr std::uint32_t error_address_family_not_supported = 10047;  // WSAEAFNOSUPPORT
inline constexpr std::uint32_t error_address_in_use = 10048;                // WSAEADDRINUSE
inline constexpr std::uint32_t error_address_not_available = 10049;         // WSAEADDRNOTAVAIL
inline constexpr std::uint32_t error_network_down = 10050;                  // WSAENETDOWN
inline constexpr std::uint32_t error_socket_network_unreachable = 10051;    // WSAENETUNREACH
inline constexpr std::uint32_t error_network_reset = 10052;                 // WSAENETRESET
inline constexpr std::uint32_t error_connection_aborted = 10053;            // WSAECONNABORTED
inline constexpr std::uint32_t error_connection_reset = 10054;              // WSAECONNRESET
inline constexpr std::uint32_t error_no_buffer_space = 10055;               // WSAENOBUFS
inline constexpr std::uint32_t error_already_connected = 10056;             // WSAEISCONN
inline constexpr std::uint32_t error_not_connected = 10057;                 // WSAENOTCONN
inline constexpr std::uint32_t error_socket_shut_down = 10058;              // WSAESHUTDOWN
inline constexpr std::uint32_t error_timed_out = 10060;                     // WSAETIMEDOUT
inline constexpr std::uint32_t error_connection_refused = 10061;            // WSAECONNREFUSED
inline constexpr std::uint32_t error_host_down = 10064;                     // WSAEHOSTDOWN
inline constexpr std::uint32_t error_socket_host_unreachable = 10065;       // WSAEHOSTUNREACH
inline constexpr std::uint32_t error_host_not_found = 11001;                // WSAHOST_NOT_FOUND
inline constexpr std::uint32_t error_try_again = 11002;                     // WSATRY_AGAIN
inline constexpr std::uint32_t error_no_recovery = 11003;                   // WSANO_RECOVERY

}  // namespace platform
