#include "dns/dns_proxy_service.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "dns/dns_message.h"
#include "net/byte_order.h"
#include "net/headers.h"
#include "pcap/pcap_file_storage.h"
#include "tarnwell/driver_client.h"

namespace dns {

namespace {

constexpr const char* log_prefix = "dns_proxy_service: ";

std::size_t index_of(server_family family) { return static_cast<std::size_t>(family); }

constexpr std::array<server_family, family_count> families{server_family::ipv4, server_family::ipv6};

}  // namespace

const std::array<net::ip_address_v4, 2>& default_dns_servers()
{
    static const std::array<net::ip_address_v4, 2> servers = [] {
        std::array<net::ip_address_v4, 2> parsed{};
        net::parse_ipv4("1.1.1.1", 7, parsed[0]);
        net::parse_ipv4("8.8.8.8", 7, parsed[1]);
        return parsed;
    }();
    return servers;
}

// Everything the system may write into while an operation is outstanding. Held apart so that
// it can be left to the system when an operation never came back (see the destructor).
struct dns_proxy_service::io_state {
    struct receive_context {
        platform::overlapped ov{};
        // Whole datagrams of any size: an answer longer than the client's frame becomes a
        // TC reply rather than a receive error and a client left waiting.
        std::array<std::uint8_t, 65536> area{};
        platform::socket_address from{};
        int from_length = platform::socket_address_capacity;
        bool posted = false;
    };
    struct dns_io_context {
        platform::overlapped ov{};  // first: the port hands back its address
        std::array<std::uint8_t, net::frame_capacity> data{};
        platform::io_buffer buffer{};
    };

    io_state()
    {
        free.reserve(contexts.size());
        for (auto& context : contexts)
            free.push_back(&context);
    }
    dns_io_context* send_context_of(platform::overlapped* ov)
    {
        auto* context = reinterpret_cast<dns_io_context*>(ov);
        return context >= contexts.data() && context < contexts.data() + contexts.size() ? context : nullptr;
    }
    bool drained() const { return !receive[0].posted && !receive[1].posted && sends_outstanding == 0; }

    std::array<receive_context, family_count> receive;
    std::array<dns_io_context, send_context_count> contexts;
    std::vector<dns_io_context*> free;
    std::size_t sends_outstanding = 0;
};

dns_proxy_service::dns_proxy_service(proxy::io_completion_port& port, log_printer printer, log_level level,
                                     std::shared_ptr<pcap::pcap_file_storage> capture,
                                     const std::vector<net::ip_address_any>& servers,
                                     dns_proxy_environment environment)
    : port_(port),
      printer_(std::move(printer)),
      level_(level),
      capture_(std::move(capture)),
      environment_(std::move(environment)),
      pending_(environment_.limits, environment_.clock, environment_.random)
{
    driver_ = environment_.open_device ? std::make_unique<tarnwell::CTarnwell>(environment_.open_device())
                                       : std::make_unique<tarnwell::CTarnwell>();
    if (!driver_->IsDriverOpen())
        throw std::runtime_error("Network Filter Driver is not loaded!");
    io_ = std::make_unique<io_state>();
    if (!initialize_sockets()) {
        shut_down();
        throw std::runtime_error("Failed to initialize DNS client!");
    }
    fixed_servers_ = !servers.empty();
    if (!fetch_dns_servers(fixed_servers_ ? &servers : nullptr)) {
        shut_down();
        throw std::runtime_error("Failed to fetch any useable DNS server address!");
    }
}

dns_proxy_service::~dns_proxy_service() { shut_down(); }

void dns_proxy_service::shut_down()
{
    if (stop_.exchange(true))
        return;
    std::unique_lock lock(lock_);
    for (auto& socket : sockets_)
        socket.close();
    // The closed sockets' operations come back failing; without running workers nothing comes
    // back and the wait would only burn its bound.
    if (port_.is_active())
        drained_.wait_for(lock, drain_limit, [this] { return io_->drained(); });
    const bool drained = io_->drained();
    lock.unlock();
    // Not under the lock: a release waits for a handler that may be waiting for the lock.
    for (auto& registration : registrations_)
        registration.release();
    if (!drained) {
        if (logs(log_level::info))
            log("stopped with operations still outstanding; leaving their buffers to the system");
        (void)io_.release();
    }
}

void dns_proxy_service::log(const std::string& text) const { log_with_prefix(printer_, log_prefix, text); }

bool dns_proxy_service::initialize_sockets()
{
    bool any = false;
    for (server_family family : families)
        any = open_socket(family) || any;
    if (!any)
        return false;
    std::lock_guard lock(lock_);
    for (server_family family : families) {
        auto& socket = sockets_[index_of(family)];
        if (!socket)
            continue;
        registrations_[index_of(family)] = port_.associate_device(
            socket.get(), [this, family](std::uint32_t bytes, platform::overlapped* ov, int ok) {
                return handle_completion(family, bytes, ov, ok != 0);
            });
        if (!registrations_[index_of(family)])
            continue;
        const std::uint32_t error = post_receive_locked(family);
        if (!platform::completion_follows(error)) {
            if (logs(log_level::all))
                log("Error occurred when reading data from the socket: " + std::to_string(error));
            socket.close();
            return false;
        }
    }
    return true;
}

bool dns_proxy_service::open_socket(server_family family)
{
    std::uint32_t error = 0;
    auto& socket = sockets_[index_of(family)];
    socket = platform::unique_socket(family == server_family::ipv4 ? platform::open_udp_socket(error)
                                                                    : platform::open_udp6_socket(error));
    if (socket) {
        error = family == server_family::ipv4 ? platform::bind_ipv4(socket.get(), in_addr{}, 0)
                                              : platform::bind_ipv6_any(socket.get());
        if (error != 0)
            socket.close();
    }
    if (!socket && logs(log_level::all))
        log("WSASocket() failed with error code = " + std::to_string(error));
    return socket.valid();
}

std::uint32_t dns_proxy_service::post_receive_locked(server_family family)
{
    auto& receive = io_->receive[index_of(family)];
    receive.from_length = platform::socket_address_capacity;
    const platform::io_buffer buffer{static_cast<std::uint32_t>(receive.area.size()),
                                     reinterpret_cast<char*>(receive.area.data())};
    receive.ov = {};
    const std::uint32_t error = platform::post_receive_from(sockets_[index_of(family)].get(), buffer, &receive.from,
                                                            &receive.from_length, &receive.ov);
    receive.posted = platform::completion_follows(error);
    return error;
}

void dns_proxy_service::add_server_locked(const net::ip_address_any& address)
{
    dns_server_entry entry;
    entry.address = address;
    if (address.is_v4()) {
        entry.socket_address_length = platform::make_ipv4_address(entry.socket_address, address.v4, server_port);
        servers_[index_of(server_family::ipv4)].push_back(entry);
        if (logs(log_level::all))
            log("Added IPv4 DNS server: " + net::to_string(address));
    } else {
        entry.socket_address_length = platform::make_ipv6_address(entry.socket_address, address.storage, server_port);
        servers_[index_of(server_family::ipv6)].push_back(entry);
        if (logs(log_level::all))
            log("Added IPv6 DNS server: " + net::to_string(address));
    }
}

bool dns_proxy_service::fetch_dns_servers(const std::vector<net::ip_address_any>* servers)
{
    platform::host_dns_servers host;
    if (!servers) {
        const bool read = environment_.host_servers ? environment_.host_servers(host)
                                                    : platform::query_host_dns_servers(host);
        if (!read)
            host = {};
    }
    std::lock_guard lock(lock_);
    for (auto& list : servers_)
        list.clear();
    pending_.clear();
    host_ipv4_.clear();
    if (servers) {
        for (const net::ip_address_any& address : *servers)
            add_server_locked(address);
    } else {
        // The host's IPv6 servers stay unused: the Windows DNS client reports IPv4 servers
        // only, and both systems should forward alike.
        for (const in_addr& address : host.ipv4) {
            add_server_locked(net::ip_address_any(address));
            host_ipv4_.insert(net::ip_address_v4(address).raw());
        }
    }
    if (servers_[index_of(server_family::ipv4)].empty()) {
        for (const net::ip_address_v4& address : default_dns_servers())
            add_server_locked(net::ip_address_any(address));
    }
    return sockets_[index_of(server_family::ipv4)].valid() || !servers_[index_of(server_family::ipv6)].empty();
}

std::set<std::uint32_t> dns_proxy_service::host_ipv4_set()
{
    platform::host_dns_servers host;
    const bool read = environment_.host_servers ? environment_.host_servers(host) : platform::query_host_dns_servers(host);
    std::set<std::uint32_t> set;
    if (read) {
        for (const in_addr& address : host.ipv4)
            set.insert(net::ip_address_v4(address).raw());
    }
    return set;
}

bool dns_proxy_service::refresh_dns_servers()
{
    if (fixed_servers_ || stop_.load())
        return false;
    const std::set<std::uint32_t> host = host_ipv4_set();
    {
        std::lock_guard lock(lock_);
        if (host == host_ipv4_)
            return false;
    }
    if (logs(log_level::all))
        log("DNS servers list has changed... ");
    fetch_dns_servers(nullptr);
    return true;
}

void dns_proxy_service::forward_query(std::uint64_t adapter_handle, const tarnwell::INTERMEDIATE_BUFFER& buffer)
{
    if (stop_.load())
        return;
    const std::optional<message_span> message = locate_message(buffer);
    if (!message || message->length < header_size) {
        if (logs(log_level::all))
            log("Dropped a DNS query frame without a DNS message");
        return;
    }
    if (single_question_length(buffer.frame + message->offset, message->length) == 0) {
        if (logs(log_level::all))
            log("Dropped a DNS query without exactly one well-formed question");
        return;
    }
    const std::uint32_t client_address = net::ipv4_header_of(buffer)->source.raw();

    std::lock_guard lock(lock_);
    // A socket whose receive could not be re-posted is given another chance by each query,
    // so that one failure does not leave the forwarder deaf.
    for (server_family family : families) {
        if (sockets_[index_of(family)] && !io_->receive[index_of(family)].posted)
            post_receive_locked(family);
    }
    pending_queries::refusal why = pending_queries::refusal::none;
    pending_query* query = pending_.add(adapter_handle, buffer, *message, client_address, why);
    if (!query) {
        if (!refusing_ && logs(log_level::debug))
            log(std::string("Dropped DNS queries: ") +
                (why == pending_queries::refusal::table_full ? "too many queries pending"
                                                             : "too many queries pending for client ") +
                (why == pending_queries::refusal::client_full
                     ? net::to_string(net::ip_address_v4::from_bytes(buffer.frame + net::ether_header_size + 12))
                     : std::string()));
        refusing_ = true;
        return;
    }
    refusing_ = false;
    for (server_family family : families) {
        if (servers_[index_of(family)].empty() || !sockets_[index_of(family)])
            continue;
        if (!pending_.assign_id(*query, family)) {
            if (logs(log_level::info))
                log("Failed to draw a random DNS transaction id");
            continue;
        }
        send_locked(*query, family);
    }
    if (!query->awaits_anyone())
        pending_.remove(query);
}

void dns_proxy_service::send_locked(pending_query& query, server_family family)
{
    const std::uint16_t id = query.ids[index_of(family)];
    const auto& servers = servers_[index_of(family)];
    for (std::uint32_t i = 0; i < servers.size(); ++i) {
        if (io_->free.empty()) {
            if (logs(log_level::all))
                log("Failed to allocate dns_io_context = ");
            continue;
        }
        io_state::dns_io_context* context = io_->free.back();
        io_->free.pop_back();
        std::memcpy(context->data.data(), query.buffer.frame + query.message.offset, query.message.length);
        net::store_be16(context->data.data() + id_offset, id);
        context->buffer = {static_cast<std::uint32_t>(query.message.length), reinterpret_cast<char*>(context->data.data())};
        context->ov = {};
        const std::uint32_t error = platform::post_send_to(sockets_[index_of(family)].get(), context->buffer,
                                                           servers[i].socket_address, servers[i].socket_address_length,
                                                           &context->ov);
        if (!platform::completion_follows(error)) {
            if (logs(log_level::all))
                log("WSASendTo() failed with error code = " + std::to_string(error));
            io_->free.push_back(context);
            continue;
        }
        ++io_->sends_outstanding;
        query.awaiting[index_of(family)].push_back(i);
        if (logs(log_level::debug))
            log("Sent DNS query with xid = " + std::to_string(id) + " to the DNS server: " +
                net::to_string(servers[i].address));
    }
}

bool dns_proxy_service::handle_completion(server_family family, std::uint32_t bytes, platform::overlapped* ov, bool ok)
{
    if (!ov)
        return false;
    std::lock_guard lock(lock_);
    auto& receive = io_->receive[index_of(family)];
    if (ov != &receive.ov) {
        if (io_state::dns_io_context* context = io_->send_context_of(ov)) {
            io_->free.push_back(context);
            --io_->sends_outstanding;
        }
        if (stop_.load())
            drained_.notify_all();
        return !stop_.load();
    }
    receive.posted = false;
    if (stop_.load()) {
        drained_.notify_all();
        return false;
    }
    if (ok && bytes != 0)
        handle_answer_locked(family, bytes);
    const std::uint32_t error = post_receive_locked(family);
    if (!platform::completion_follows(error)) {
        if (logs(log_level::all))
            log("Error occurred when reading data from the socket: " + std::to_string(error));
        return false;
    }
    return true;
}

void dns_proxy_service::handle_answer_locked(server_family family, std::uint32_t bytes)
{
    pending_.expire();
    const auto& receive = io_->receive[index_of(family)];
    const std::uint8_t* answer = receive.area.data();
    const std::size_t length = std::min<std::size_t>(bytes, receive.area.size());

    net::ip_address_any source;
    std::uint16_t port = 0;
    bool read = false;
    if (family == server_family::ipv4) {
        in_addr address{};
        read = platform::read_ipv4_address(receive.from, receive.from_length, address, port);
        source = net::ip_address_any(address);
    } else {
        std::uint8_t address[16];
        read = platform::read_ipv6_address(receive.from, receive.from_length, address, port);
        in6_addr v6{};
        std::memcpy(&v6, address, 16);
        source = net::ip_address_any(v6);
    }
    if (!read)
        return;
    const auto& servers = servers_[index_of(family)];
    const auto server = std::find_if(servers.begin(), servers.end(),
                                     [&](const dns_server_entry& entry) { return entry.address == source; });
    if (server == servers.end() || port != server_port) {
        if (logs(log_level::all))
            log("Failed to lookup DNS server with IP: " + net::to_string(source) +
                (server == servers.end() ? std::string() : " (port " + std::to_string(port) + ")"));
        return;
    }
    if (length < header_size) {
        if (logs(log_level::all))
            log("Dropped a DNS answer shorter than a DNS header from " + net::to_string(source));
        return;
    }
    const std::uint16_t id = net::load_be16(answer + id_offset);
    pending_query* query = pending_.find(family, id);
    const auto index = static_cast<std::uint32_t>(server - servers.begin());
    const auto& awaiting = query ? query->awaiting[index_of(family)] : std::vector<std::uint32_t>{};
    if (!query || std::find(awaiting.begin(), awaiting.end(), index) == awaiting.end()) {
        if (logs(log_level::all))
            log("Failed to lookup DNS query with XID: " + std::to_string(id));
        return;
    }
    if (!same_question(query->buffer.frame + query->message.offset, query->message.length, answer, length)) {
        if (logs(log_level::all))
            log("Dropped an answer whose question is not the query's, XID: " + std::to_string(id));
        return;
    }
    if (family == server_family::ipv6 && net::load_be16(answer + answer_count_offset) == 0) {
        if (logs(log_level::all))
            log("Skip NXDOMAIN received for query with XID: " + std::to_string(id));
        query->stop_awaiting(family, index);
        if (!query->awaits_anyone())
            pending_.remove(query);
        return;
    }
    if (logs(log_level::debug))
        log("Completing DNS query with XID: " + std::to_string(id));
    deliver_locked(*query, answer, length);
    pending_.remove(query);
}

void dns_proxy_service::deliver_locked(pending_query& query, const std::uint8_t* answer, std::size_t length)
{
    if (build_reply(query.buffer, query.message, query.client_id, answer, length) == reply_shape::truncated &&
        logs(log_level::debug))
        log("Answer of " + std::to_string(length) + " bytes does not fit the client's frame; replied with TC set");
    if (capture_)
        *capture_ << query.buffer;
    if (driver_->IsDriverOpen()) {
        const tarnwell::PACKET_REQUEST request{query.adapter_handle, reinterpret_cast<std::uintptr_t>(&query.buffer)};
        driver_->SendPacketToAdapter(request);
    }
}

std::vector<net::ip_address_any> dns_proxy_service::servers()
{
    std::lock_guard lock(lock_);
    std::vector<net::ip_address_any> all;
    for (const auto& list : servers_)
        for (const dns_server_entry& entry : list)
            all.push_back(entry.address);
    return all;
}

std::size_t dns_proxy_service::pending_count()
{
    std::lock_guard lock(lock_);
    return pending_.size();
}

std::size_t dns_proxy_service::free_send_contexts()
{
    std::lock_guard lock(lock_);
    return io_ ? io_->free.size() : 0;
}

std::uint16_t dns_proxy_service::ipv4_local_port()
{
    std::uint16_t port = 0;
    std::lock_guard lock(lock_);
    if (sockets_[0])
        platform::local_port(sockets_[0].get(), port);
    return port;
}

}  // namespace dns
