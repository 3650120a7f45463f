#include "platform/thread_error.h"

#include <winsock2.h>
#include <windows.h>

#include "platform/interface_table.h"
#include "platform/win32_errors.h"

namespace platform {

// The Linux backends invent these numbers; here the SDK checks every one of them.
#define CORVANE_SAME_AS_SDK(name, sdk) static_assert(name == static_cast<std::uint32_t>(sdk), #sdk)
CORVANE_SAME_AS_SDK(error_success, ERROR_SUCCESS);
CORVANE_SAME_AS_SDK(error_invalid_function, ERROR_INVALID_FUNCTION);
CORVANE_SAME_AS_SDK(error_file_not_found, ERROR_FILE_NOT_FOUND);
CORVANE_SAME_AS_SDK(error_path_not_found, ERROR_PATH_NOT_FOUND);
CORVANE_SAME_AS_SDK(error_too_many_open_files, ERROR_TOO_MANY_OPEN_FILES);
CORVANE_SAME_AS_SDK(error_access_denied, ERROR_ACCESS_DENIED);
CORVANE_SAME_AS_SDK(error_invalid_handle, ERROR_INVALID_HANDLE);
CORVANE_SAME_AS_SDK(error_not_enough_memory, ERROR_NOT_ENOUGH_MEMORY);
CORVANE_SAME_AS_SDK(error_gen_failure, ERROR_GEN_FAILURE);
CORVANE_SAME_AS_SDK(error_not_supported, ERROR_NOT_SUPPORTED);
CORVANE_SAME_AS_SDK(error_dup_name, ERROR_DUP_NAME);
CORVANE_SAME_AS_SDK(error_bad_net_name, ERROR_BAD_NET_NAME);
CORVANE_SAME_AS_SDK(error_invalid_parameter, ERROR_INVALID_PARAMETER);
CORVANE_SAME_AS_SDK(error_buffer_overflow, ERROR_BUFFER_OVERFLOW);
CORVANE_SAME_AS_SDK(error_insufficient_buffer, ERROR_INSUFFICIENT_BUFFER);
CORVANE_SAME_AS_SDK(error_invalid_name, ERROR_INVALID_NAME);
CORVANE_SAME_AS_SDK(error_filename_exced_range, ERROR_FILENAME_EXCED_RANGE);
CORVANE_SAME_AS_SDK(error_more_data, ERROR_MORE_DATA);
CORVANE_SAME_AS_SDK(error_wait_timeout, WAIT_TIMEOUT);
CORVANE_SAME_AS_SDK(error_operation_aborted, ERROR_OPERATION_ABORTED);
CORVANE_SAME_AS_SDK(error_io_pending, ERROR_IO_PENDING);
CORVANE_SAME_AS_SDK(error_service_does_not_exist, ERROR_SERVICE_DOES_NOT_EXIST);
CORVANE_SAME_AS_SDK(error_service_not_active, ERROR_SERVICE_NOT_ACTIVE);
CORVANE_SAME_AS_SDK(error_failed_service_controller_connect, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
CORVANE_SAME_AS_SDK(error_service_exists, ERROR_SERVICE_EXISTS);
CORVANE_SAME_AS_SDK(error_device_not_connected, ERROR_DEVICE_NOT_CONNECTED);
CORVANE_SAME_AS_SDK(error_not_found, ERROR_NOT_FOUND);
CORVANE_SAME_AS_SDK(error_network_unreachable, ERROR_NETWORK_UNREACHABLE);
CORVANE_SAME_AS_SDK(error_host_unreachable, ERROR_HOST_UNREACHABLE);
CORVANE_SAME_AS_SDK(error_no_system_resources, ERROR_NO_SYSTEM_RESOURCES);
CORVANE_SAME_AS_SDK(error_interrupted, WSAEINTR);
CORVANE_SAME_AS_SDK(error_socket_access_denied, WSAEACCES);
CORVANE_SAME_AS_SDK(error_bad_address, WSAEFAULT);
CORVANE_SAME_AS_SDK(error_invalid_argument, WSAEINVAL);
CORVANE_SAME_AS_SDK(error_too_many_sockets, WSAEMFILE);
CORVANE_SAME_AS_SDK(error_would_block, WSAEWOULDBLOCK);
CORVANE_SAME_AS_SDK(error_already_in_progress, WSAEALREADY);
CORVANE_SAME_AS_SDK(error_not_socket, WSAENOTSOCK);
CORVANE_SAME_AS_SDK(error_destination_address_required, WSAEDESTADDRREQ);
CORVANE_SAME_AS_SDK(error_message_size, WSAEMSGSIZE);
CORVANE_SAME_AS_SDK(error_wrong_protocol_type, WSAEPROTOTYPE);
CORVANE_SAME_AS_SDK(error_bad_protocol_option, WSAENOPROTOOPT);
CORVANE_SAME_AS_SDK(error_protocol_not_supported, WSAEPROTONOSUPPORT);
CORVANE_SAME_AS_SDK(error_operation_not_supported, WSAEOPNOTSUPP);
CORVANE_SAME_AS_SDK(error_address_family_not_supported, WSAEAFNOSUPPORT);
CORVANE_SAME_AS_SDK(error_address_in_use, WSAEADDRINUSE);
CORVANE_SAME_AS_SDK(error_address_not_available, WSAEADDRNOTAVAIL);
CORVANE_SAME_AS_SDK(error_network_down, WSAENETDOWN);
CORVANE_SAME_AS_SDK(error_socket_network_unreachable, WSAENETUNREACH);
CORVANE_SAME_AS_SDK(error_network_reset, WSAENETRESET);
CORVANE_SAME_AS_SDK(error_connection_aborted, WSAECONNABORTED);
CORVANE_SAME_AS_SDK(error_connection_reset, WSAECONNRESET);
CORVANE_SAME_AS_SDK(error_no_buffer_space, WSAENOBUFS);
CORVANE_SAME_AS_SDK(error_already_connected, WSAEISCONN);
CORVANE_SAME_AS_SDK(error_not_connected, WSAENOTCONN);
CORVANE_SAME_AS_SDK(error_socket_shut_down, WSAESHUTDOWN);
CORVANE_SAME_AS_SDK(error_timed_out, WSAETIMEDOUT);
CORVANE_SAME_AS_SDK(error_connection_refused, WSAECONNREFUSED);
CORVANE_SAME_AS_SDK(error_host_down, WSAEHOSTDOWN);
CORVANE_SAME_AS_SDK(error_socket_host_unreachable, WSAEHOSTUNREACH);
#undef CORVANE_SAME_AS_SDK

std::uint32_t get_thread_error() { return GetLastError(); }

void set_thread_error(std::uint32_t error) { SetLastError(error); }

}  // namespace platform
