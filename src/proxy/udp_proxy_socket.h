#pragma once
// The direct UDP relay of one client endpoint: strips the 10-byte header from the client's
// datagrams and sends the payload to the destination it names; wraps every answer in a
// header naming the answering address and port and sends it back to the client. One relay
// socket serves every destination of the client. Owned by udp_proxy_server.

#include "proxy/udp_relay_socket.h"

namespace proxy {

class udp_proxy_socket : public udp_relay_socket {
public:
    udp_proxy_socket(buffer_pool& pool, platform::socket_handle server_socket,
                     platform::unique_socket relay_socket, const platform::socket_address& client,
                     int client_length, log_printer printer, log_level level, const udp_clock& clock);

    void process_receive_buffer_complete(std::uint32_t bytes, udp_io_context* ctx) override;
    void process_send_buffer_complete(std::uint32_t bytes, udp_io_context* ctx) override;
};

}  // namespace proxy
