#pragma once
// What one client (a VPN client's address) may hold in a TCP proxy server at once: outgoing
// connects not completed yet, and relayed connections whose connect completed. Without
// these bounds one client could take every descriptor of the process (each relay holds
// two sockets) and shut everybody else out.
//
// Each relay carries a client_slot that says what it is counted as; the server admits a
// connection before it makes the relay, moves the slot on when the connect completes and
// releases it when the relay goes. One mutex guards the counts and every slot, so a slot
// is only ever read or changed through this class. Clients without connections have no
// entry, so the table holds at most one entry per client with a live connection.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "net/ip_address.h"

namespace proxy {

struct tcp_proxy_limits {
    std::size_t pending_connects_per_client = 4096;
    std::size_t connections_per_client = 4096;
};

// What a relay counts as; changed only by client_connection_limits under its mutex.
struct client_slot {
    enum class state : std::uint8_t { none, pending, relayed };
    net::ip_address_v4 client;
    state counted_as = state::none;
};

class client_connection_limits {
public:
    enum class refusal { none, pending_connects, connections };
    struct counts {
        std::size_t pending = 0;
        std::size_t relayed = 0;
    };

    explicit client_connection_limits(tcp_proxy_limits limits) : limits_(limits) {}

    const tcp_proxy_limits& limits() const { return limits_; }

    // Counts a new connection of `client` as pending into `slot`, or says why it is refused.
    // A client at its relayed limit is refused too: its new connection would exceed it once
    // the connect completed.
    refusal admit(net::ip_address_v4 client, client_slot& slot);
    // The slot's connect completed; a connected one counts as relayed from now on.
    void connect_finished(client_slot& slot, bool connected);
    // The relay is gone (or was never started): whatever the slot counted is given back.
    void release(client_slot& slot);
    // Forgets everything; for the server's stop, once no relay is left.
    void clear();

    counts of(net::ip_address_v4 client);

private:
    void give_back_locked(client_slot& slot);

    const tcp_proxy_limits limits_;
    std::mutex mutex_;
    std::unordered_map<std::uint32_t, counts> clients_;  // by the raw address
};

}  // namespace proxy
