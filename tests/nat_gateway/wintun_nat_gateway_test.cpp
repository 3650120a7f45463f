// nat::wintun_nat_gateway over the in-process driver core: start and stop, the watchdog's
// retries, the routing decision, restarts on interface changes, and what a stop leaves.
// The driver's headers come before any that include the system's: windows.h defines
// STATUS_* macros that collide with the driver's constants.
#include "driver/status_records.h"
#include "nat_gateway/gateway_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>

#include "nat/wintun_nat_gateway.h"

namespace {

using namespace nat_test;
using namespace std::chrono_literals;
using nat::gateway_state;
using tarnwell_test::wait_until;

#define REQUIRE_FAKE_ADAPTER_NAMES()                                                   \
    if (!gateway_bench::names_fake_adapters())                                         \
    GTEST_SKIP() << "this platform has no connection names for in-process adapters"

bool mode_zero(gateway_bench& bench, const nat::wintun_nat_gateway& gateway, corvflt::adapter_context* a)
{
    for (const auto& adapter : gateway.filter().get_adapters())
        if (adapter->internal_name() == bench.driver.adapters.adapter(a).name)
            return gateway.filter().IsAdapterModeZero(adapter->adapter_handle());
    return true;
}

TEST(nat_gateway, start_and_stop_report_their_transitions_and_leave_nothing_behind)
{
    REQUIRE_FAKE_ADAPTER_NAMES();
    gateway_bench bench;
    bench.attach_client();
    bench.attach_provider();
    auto gateway = bench.make_gateway(log_level::all);
    EXPECT_FALSE(gateway->stop()) << "never started";

    ASSERT_TRUE(gateway->start());
    EXPECT_FALSE(gateway->start()) << "already started";
    EXPECT_EQ(gateway->state(), gateway_state::running);
    EXPECT_EQ(gateway->external_address(), provider_address);
    EXPECT_FALSE(gateway->force_routing());
    EXPECT_EQ(bench.lines.count("wintun_nat_gateway: NAT was started successfully"), 1u) << bench.lines.all();
    EXPECT_EQ(bench.lines.count("start_internal: Force routing DISABLED!"), 1u);
    EXPECT_EQ(bench.lines.count("Identified external IPv4 address: 192.0.2.10"), 1u);
    // Routed by the host: only the provider stays in tunnel mode.
    EXPECT_EQ(gateway->filter().slot_state(0), tarnwell::filter_state::stopped);
    EXPECT_EQ(gateway->filter().slot_state(1), tarnwell::filter_state::running);
    EXPECT_TRUE(mode_zero(bench, *gateway, bench.client));
    EXPECT_FALSE(mode_zero(bench, *gateway, bench.provider));
    EXPECT_EQ(bench.forwarding_on.load(), 1);

    // A forwarded client flow creates an entry, and the probe never reached the wire.
    frame_spec s;
    s.protocol = udp;
    s.source = net::ip_address_v4{10, 66, 0, 2};
    s.destination = net::ip_address_v4{93, 184, 216, 34};
    s.source_port = 4000;
    s.destination_port = 7777;
    s.payload = 4;
    auto frame = make_frame(s);
    bench.driver.feed(bench.provider, tarnwell::DIRECTION_OUTGOING,
                      {std::vector<std::uint8_t>(frame->frame, frame->frame + frame->length)});
    ASSERT_TRUE(wait_until([&] { return bench.driver.sent_count(bench.provider) == 1; }));
    EXPECT_EQ(gateway->udp_table().size(), 1u);

    ASSERT_TRUE(gateway->stop());
    EXPECT_FALSE(gateway->stop());
    EXPECT_EQ(gateway->state(), gateway_state::stopped);
    EXPECT_EQ(gateway->external_address(), net::ip_address_v4{});
    EXPECT_EQ(gateway->tcp_table().size() + gateway->udp_table().size() + gateway->icmp_table().size(), 0u);
    EXPECT_TRUE(mode_zero(bench, *gateway, bench.provider));
    EXPECT_EQ(bench.forwarding_off.load(), 1);
    EXPECT_EQ(event_recorder::take(), (std::vector<std::uint32_t>{0, 1}));
    EXPECT_EQ(bench.lines.count("watchdog: exited!"), 1u);

    // At level all every frame the callbacks saw went to the capture file: the probe and the
    // client datagram at least.
    gateway.reset();
    std::ifstream in(bench.capture_file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_GE(bytes.size(), 24u + 2 * 16 + 49 + 46);
    std::remove(bench.capture_file.c_str());
}

TEST(nat_gateway, watchdog_keeps_retrying_until_the_client_adapter_appears)
{
    REQUIRE_FAKE_ADAPTER_NAMES();
    gateway_bench bench;
    // Named like the client adapter but of medium 802.3: never taken as the client.
    corvflt::adapter_context* impostor = bench.attach_client(tarnwell::NDIS_MEDIUM_802_3);
    bench.attach_provider();
    auto gateway = bench.make_gateway();

    ASSERT_TRUE(gateway->start());
    EXPECT_EQ(bench.lines.count("NAT was not started. Keep trying..."), 1u) << bench.lines.all();
    EXPECT_GE(bench.lines.count("get_network_configuration: Failed to identify WinTun adapter"), 1u);
    ASSERT_TRUE(wait_until([&] { return bench.lines.count("watchdog: NAT has failed to start!") >= 2; }, 15s));
    EXPECT_EQ(gateway->state(), gateway_state::stopped);
    EXPECT_TRUE(event_recorder::take().empty()) << "a start without configuration sends no event";

    // Attached before the impostor leaves, so that the new adapter cannot reuse its handle.
    bench.attach_client();
    bench.driver.detach(impostor);
    ASSERT_TRUE(wait_until([&] { return bench.lines.count("watchdog: NAT was successfully started!") == 1; }, 15s))
        << bench.lines.all();
    EXPECT_EQ(gateway->state(), gateway_state::running);

    // The client adapter going away restarts the gateway, which then waits for it again.
    bench.driver.detach(bench.client);
    ASSERT_TRUE(wait_until([&] { return gateway->state() == gateway_state::stopped; }, 15s)) << bench.lines.all();
    bench.attach_client();
    ASSERT_TRUE(wait_until([&] { return gateway->state() == gateway_state::running; }, 15s)) << bench.lines.all();
    EXPECT_TRUE(gateway->stop());
    const std::vector<std::uint32_t> events = event_recorder::take();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.back(), 1u);
}

// Lists the client adapter under another name while `renamed` holds. Connection names are
// read off internal names here, so this plays an admin renaming the connection: the driver's
// adapters, handles and list-change signal stay as they were.
class renaming_device final : public platform::control_device {
public:
    renaming_device(std::unique_ptr<platform::control_device> inner, std::shared_ptr<std::atomic<bool>> renamed)
        : inner_(std::move(inner)), renamed_(std::move(renamed))
    {
    }

    std::uint32_t control(std::uint32_t code, const void* input, std::uint32_t input_length, void* output,
                          std::uint32_t output_length, std::uint32_t* bytes_returned) override
    {
        const std::uint32_t status = inner_->control(code, input, input_length, output, output_length, bytes_returned);
        if (status == 0 && code == tarnwell::IOCTL_CORVFLT_GET_ADAPTER_LIST && renamed_->load() &&
            output_length >= sizeof(tarnwell::ADAPTER_LIST)) {
            auto* list = static_cast<tarnwell::ADAPTER_LIST*>(output);
            for (std::uint32_t i = 0; i < std::min(list->count, tarnwell::ADAPTER_LIST_SIZE); ++i)
                if (std::strcmp(list->names[i], "\\DEVICE\\{wintun}") == 0)
                    std::strcpy(list->names[i], "\\DEVICE\\{office-vpn}");
        }
        return status;
    }

private:
    std::unique_ptr<platform::control_device> inner_;
    std::shared_ptr<std::atomic<bool>> renamed_;
};

TEST(nat_gateway, a_connection_renamed_to_the_client_name_is_found_without_a_driver_signal)
{
    REQUIRE_FAKE_ADAPTER_NAMES();
    gateway_bench bench;
    bench.attach_client();
    bench.attach_provider();
    auto renamed = std::make_shared<std::atomic<bool>>(true);
    nat::nat_gateway_environment environment = bench.environment();
    environment.open_device = [&bench, renamed] {
        return std::make_unique<renaming_device>(bench.driver.device(), renamed);
    };
    auto gateway = std::make_unique<nat::wintun_nat_gateway>("wintun", bench.lines.printer(), log_level::debug,
                                                             &event_recorder::record, environment);
    ASSERT_TRUE(gateway->start());
    EXPECT_EQ(bench.lines.count("NAT was not started. Keep trying..."), 1u) << bench.lines.all();

    renamed->store(false);  // the admin names the connection "wintun"
    ASSERT_TRUE(wait_until([&] { return gateway->state() == gateway_state::running; }, 15s)) << bench.lines.all();
    EXPECT_TRUE(gateway->stop());
}

TEST(nat_gateway, dial_up_provider_whose_link_carries_the_address_is_routed_by_the_gateway)
{
    REQUIRE_FAKE_ADAPTER_NAMES();
    gateway_bench bench;
    bench.attach_client();
    // The IPv4 WAN miniport with one line up whose address is the external one.
    corvflt::adapter_context* wan = bench.attach_provider("\\DEVICE\\NDISWANIP", tarnwell::NDIS_MEDIUM_WAN);
    std::vector<std::uint8_t> line(corvflt::WAN_LINE_UP_PROTOCOL_BUFFER + 600, 0);
    const std::uint32_t total = 1500;
    std::memcpy(&line[corvflt::WAN_LINE_UP_MAXIMUM_TOTAL_SIZE], &total, 4);
    for (int i = 0; i < 6; ++i) {
        line[corvflt::WAN_LINE_UP_REMOTE_ADDRESS + i] = static_cast<std::uint8_t>(0xB0 + i);
        line[corvflt::WAN_LINE_UP_LOCAL_ADDRESS + i] = static_cast<std::uint8_t>(0xC0 + i);
    }
    const std::uint32_t protocol_length = 600;
    std::memcpy(&line[corvflt::WAN_LINE_UP_PROTOCOL_BUFFER_LENGTH], &protocol_length, 4);
    provider_address.to_bytes(&line[corvflt::WAN_LINE_UP_PROTOCOL_BUFFER + tarnwell::WAN_PROTOCOL_IPV4_OFFSET]);
    bench.driver.core.on_status(wan, corvflt::STATUS_INDICATION_WAN_LINE_UP, line.data(),
                                static_cast<std::uint32_t>(line.size()));
    bench.interfaces.reset("{ppp0}", platform::if_type_ppp);

    auto gateway = bench.make_gateway();
    ASSERT_TRUE(gateway->start());
    EXPECT_EQ(gateway->state(), gateway_state::running) << bench.lines.all();
    EXPECT_TRUE(gateway->force_routing());
    EXPECT_EQ(bench.lines.count("start_internal: Force routing ENABLED!"), 1u);
    EXPECT_EQ(gateway->filter().slot_state(0), tarnwell::filter_state::running);
    EXPECT_EQ(gateway->filter().slot_state(1), tarnwell::filter_state::running);

    // A client packet from the tunnel leaves through the WAN adapter, translated.
    frame_spec s;
    s.protocol = udp;
    s.source = net::ip_address_v4{10, 66, 0, 2};
    s.destination = net::ip_address_v4{93, 184, 216, 34};
    s.source_port = 4000;
    s.destination_port = 7777;
    auto frame = make_frame(s);
    std::vector<corvflt::frame_view> view(1);
    view[0] = {frame->frame + 14, frame->length - 14};
    view[0].frame_type = 0x0800;
    std::vector<corvflt::frame_fate> fate(1);
    bench.driver.core.on_wire_receive(bench.client, view.data(), 1, fate.data());
    ASSERT_TRUE(wait_until([&] { return bench.driver.sent_count(wan) == 1; }));
    {
        corvflt::fake::fake_adapter& a = bench.driver.adapters.adapter(wan);
        std::lock_guard lock(a.mutex);
        const std::vector<std::uint8_t>& sent = a.sent[0].data;
        ASSERT_GE(sent.size(), 42u);
        EXPECT_EQ(sent[0], 0xB0);
        EXPECT_EQ(sent[6], 0xC0);
        EXPECT_EQ(net::ip_address_v4::from_bytes(&sent[26]), provider_address);
        EXPECT_EQ(be16(&sent[34]), 10000);
    }
    EXPECT_TRUE(gateway->stop());
}

TEST(nat_gateway, interface_changes_restart_only_when_the_configuration_changed)
{
    REQUIRE_FAKE_ADAPTER_NAMES();
    gateway_bench bench;
    bench.attach_client();
    bench.attach_provider();
    auto gateway = bench.make_gateway();
    ASSERT_TRUE(gateway->start());
    ASSERT_EQ(gateway->state(), gateway_state::running);
    const std::size_t identified = bench.lines.count("WinTun adapter successfully identified");

    manual_notifier::fire(platform::interface_change_kind::initial);
    EXPECT_EQ(bench.lines.count("WinTun adapter successfully identified"), identified) << "type 3 is ignored";
    manual_notifier::fire(platform::interface_change_kind::parameter_change);
    EXPECT_EQ(bench.lines.count("WinTun adapter successfully identified"), identified + 1);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(bench.lines.count("internal_restart"), 0u) << "nothing changed: no restart";

    bench.interfaces.set_provider_luid(0x9999);
    manual_notifier::fire(platform::interface_change_kind::added);
    ASSERT_TRUE(wait_until([&] { return bench.lines.count("internal_restart: NAT was successfully started!") == 1; },
                           10s))
        << bench.lines.all();
    EXPECT_EQ(bench.lines.count("internal_restart: NAT was successfully stopped!"), 1u);
    EXPECT_EQ(gateway->state(), gateway_state::running);
    EXPECT_TRUE(gateway->stop());
    EXPECT_EQ(event_recorder::take(), (std::vector<std::uint32_t>{0, 1, 0, 1}));
}

TEST(nat_gateway, stop_ends_a_start_whose_probe_never_arrives)
{
    REQUIRE_FAKE_ADAPTER_NAMES();
    gateway_bench bench;
    bench.attach_client();
    bench.attach_provider();
    bench.probe_arrives = false;
    auto gateway = bench.make_gateway();

    auto started = std::async(std::launch::async, [&] { return gateway->start(); });
    ASSERT_TRUE(wait_until([&] { return bench.probes.load() == 1; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(started.wait_for(0ms), std::future_status::timeout) << "the start waits for the address";

    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(gateway->stop());
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_TRUE(started.get());
    EXPECT_EQ(gateway->state(), gateway_state::stopped);
    EXPECT_TRUE(mode_zero(bench, *gateway, bench.provider));
    EXPECT_TRUE(mode_zero(bench, *gateway, bench.client));
    EXPECT_EQ(bench.lines.count("internal_restart"), 0u) << "no restart after a stop";
}

}  // namespace
