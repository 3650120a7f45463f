#pragma once
// A NAT gateway over the in-process driver core with fake adapters: scripted interface
// records and routes, a notifier the test fires by hand, a probe that the test delivers
// (or withholds) through the provider adapter's send path, and recorders of the log lines
// and proxy events.

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

// First: the driver's constants must not meet windows.h's STATUS_* macros.
#include "tarnwell/filter_test_support.h"

#include "nat/wintun_nat_gateway.h"
#include "nat_gateway/nat_frames.h"
#include "platform/adapter_names.h"

namespace nat_test {

inline const net::ip_address_v4 provider_address{192, 0, 2, 10};
inline constexpr std::uint32_t client_index = 5;
inline constexpr std::uint32_t provider_index = 7;

inline sockaddr_storage v4_storage(net::ip_address_v4 address)
{
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_addr = address.to_in_addr();
    return platform::to_socket_address_storage(&s, sizeof s);
}

// Interface records of "{wintun}" and the provider; the route to 1.1.1.1 uses the provider.
class scripted_interfaces final : public net::interface_source {
public:
    scripted_interfaces() { reset("{eth0}", platform::if_type_ethernet); }

    void reset(const std::string& provider_name, std::uint32_t provider_type)
    {
        std::lock_guard lock(mutex_);
        adapters_.clear();
        rows_.clear();
        add(client_index, "{wintun}", platform::if_type_prop_virtual, net::ip_address_v4{10, 66, 0, 1}, 1420);
        add(provider_index, provider_name, provider_type, provider_address, 1500);
    }
    void set_provider_luid(std::uint64_t luid)
    {
        std::lock_guard lock(mutex_);
        adapters_[1].luid = luid;
        rows_[1].luid = luid;
    }

    std::uint32_t read_interface_table(std::vector<platform::interface_row>& rows) override
    {
        std::lock_guard lock(mutex_);
        rows = rows_;
        return 0;
    }
    std::uint32_t read_adapter_addresses(std::vector<platform::adapter_entry>& adapters) override
    {
        std::lock_guard lock(mutex_);
        adapters = adapters_;
        return 0;
    }
    std::uint32_t resolve_neighbour(const sockaddr_storage&, std::uint64_t, std::uint8_t (&)[6]) override
    {
        return 67;
    }
    std::uint32_t best_interface(const sockaddr_storage&, std::uint32_t& index) override
    {
        index = provider_index;
        return 0;
    }

private:
    void add(std::uint32_t index, const std::string& name, std::uint32_t type, net::ip_address_v4 address,
             std::uint32_t mtu)
    {
        platform::adapter_entry a;
        a.if_index = index;
        a.adapter_name = name;
        a.friendly_name = L"adapter";
        a.unicast_addresses.push_back(v4_storage(address));
        a.oper_status = platform::oper_status_up;
        a.if_type = type;
        a.luid = 0x1000 + index;
        a.mtu = mtu;
        adapters_.push_back(a);
        platform::interface_row r;
        r.luid = a.luid;
        r.media_connect_state = platform::media_connect_connected;
        rows_.push_back(r);
    }

    std::mutex mutex_;
    std::vector<platform::adapter_entry> adapters_;
    std::vector<platform::interface_row> rows_;
};

// The one registration of the process, fired by the test.
struct manual_notifier {
    static inline std::mutex mutex;
    static inline platform::interface_change_callback callback = nullptr;
    static inline void* context = nullptr;

    static std::uint32_t notify(platform::interface_change_callback c, void* ctx,
                                platform::interface_change_registration** handle)
    {
        std::lock_guard lock(mutex);
        callback = c;
        context = ctx;
        *handle = reinterpret_cast<platform::interface_change_registration*>(&context);
        return 0;
    }
    static std::uint32_t cancel(platform::interface_change_registration*)
    {
        std::lock_guard lock(mutex);
        callback = nullptr;
        context = nullptr;
        return 0;
    }
    static void fire(platform::interface_change_kind kind)
    {
        std::lock_guard lock(mutex);
        platform::interface_change change;
        change.kind = kind;
        if (callback)
            callback(context, change);
    }
    static const net::interface_change_notifier& table()
    {
        static const net::interface_change_notifier n{&notify, &cancel};
        return n;
    }
};

// Events of the process's gateway (a plain function pointer cannot carry a context).
struct event_recorder {
    static inline std::mutex mutex;
    static inline std::vector<std::uint32_t> kinds;
    static void record(proxy_event event)
    {
        std::lock_guard lock(mutex);
        kinds.push_back(event.kind);
    }
    static std::vector<std::uint32_t> take()
    {
        std::lock_guard lock(mutex);
        return kinds;
    }
    static void clear()
    {
        std::lock_guard lock(mutex);
        kinds.clear();
    }
};

class line_recorder {
public:
    log_printer printer()
    {
        return [this](const char* line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        };
    }
    std::size_t count(const std::string& text)
    {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const std::string& l : lines_)
            n += l.find(text) != std::string::npos;
        return n;
    }
    std::string all()
    {
        std::lock_guard lock(mutex_);
        std::string out;
        for (const std::string& l : lines_)
            out += l + "|";
        return out;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The whole bench: driver core, adapters, interfaces and the gateway's environment.
struct gateway_bench {
    gateway_bench()
    {
        event_recorder::clear();
    }

    // True when the platform names fake adapters "\DEVICE\{name}" by "name" (Linux); the
    // gateway finds its client adapter by that name.
    static bool names_fake_adapters()
    {
        char out[64] = {};
        return platform::read_connection_name("\\DEVICE\\{wintun}", out, sizeof out) &&
               std::string(out) == "wintun";
    }

    corvflt::adapter_context* attach_client(std::uint32_t medium = tarnwell::NDIS_MEDIUM_IP)
    {
        client = driver.attach("\\DEVICE\\{wintun}", medium);
        return client;
    }
    corvflt::adapter_context* attach_provider(const std::string& name = "\\DEVICE\\{eth0}",
                                              std::uint32_t medium = tarnwell::NDIS_MEDIUM_802_3)
    {
        provider = driver.attach(name, medium);
        return provider;
    }

    // The probe as the host would route it: sent by the stack into the provider adapter.
    platform::udp_send_result deliver_probe()
    {
        ++probes;
        if (!probe_arrives || !provider)
            return {0, 0, 7};
        frame_spec s;
        s.protocol = udp;
        s.source = provider_address;
        s.destination = net::ip_address_v4{1, 1, 1, 1};
        s.source_port = 50001;
        s.destination_port = 53;
        s.payload = 7;
        auto frame = make_frame(s);
        std::memcpy(frame->frame + 42, "1.1.1.1", 7);
        driver.feed(provider, tarnwell::DIRECTION_OUTGOING,
                    {std::vector<std::uint8_t>(frame->frame, frame->frame + frame->length)});
        return {0, 0, 7};
    }

    nat::nat_gateway_environment environment()
    {
        nat::nat_gateway_environment e;
        e.open_device = [this] { return driver.device(); };
        e.interfaces = &interfaces;
        e.notifier = &manual_notifier::table();
        e.clock = clock;
        e.send_probe = [this] { return deliver_probe(); };
        e.enable_router = [this] {
            ++forwarding_on;
            return std::uint32_t{997};
        };
        e.unenable_router = [this] {
            ++forwarding_off;
            return std::uint32_t{0};
        };
        e.forced_routing_supported = [] { return true; };
        e.capture_file = capture_file;
        return e;
    }

    std::unique_ptr<nat::wintun_nat_gateway> make_gateway(log_level level = log_level::debug)
    {
        return std::make_unique<nat::wintun_nat_gateway>("wintun", lines.printer(), level, &event_recorder::record,
                                                         environment());
    }

    tarnwell_test::fake_driver driver;
    scripted_interfaces interfaces;
    std::shared_ptr<nat::manual_nat_clock> clock = std::make_shared<nat::manual_nat_clock>();
    line_recorder lines;
    corvflt::adapter_context* client = nullptr;
    corvflt::adapter_context* provider = nullptr;
    std::atomic<bool> probe_arrives{true};
    std::atomic<int> probes{0};
    std::atomic<int> forwarding_on{0};
    std::atomic<int> forwarding_off{0};
    std::string capture_file = testing::TempDir() + "nat_gateway_test.pcap";
};

}  // namespace nat_test
