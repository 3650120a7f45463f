// The forwarder's pure parts: reading questions, locating a query in its frame, building
// the reply frame, and the table of waiting queries (ids, expiry, limits).

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <set>

#include "dns/dns_message.h"
#include "dns/dns_reply_frame.h"
#include "dns/pending_queries.h"
#include "dns_test_frames.h"

namespace {

using namespace std::chrono_literals;
using dns_test::answer_message;
using dns_test::query_frame;
using dns_test::query_message;
using dns_test::read_reply;

const std::uint8_t web_address[4] = {10, 77, 0, 1};

TEST(dns_message, reads_one_well_formed_question_and_refuses_every_other_shape)
{
    const auto m = query_message(7, "web.lab.test");
    EXPECT_EQ(dns::single_question_length(m.data(), m.size()), m.size() - 12);

    auto two = m;
    two[5] = 2;
    EXPECT_EQ(dns::single_question_length(two.data(), two.size()), 0u);
    EXPECT_EQ(dns::single_question_length(m.data(), 11), 0u) << "shorter than a header";
    EXPECT_EQ(dns::single_question_length(m.data(), m.size() - 1), 0u) << "class cut off";
    auto pointer = m;
    pointer[12] = 0xc0;  // a compression pointer where the name starts
    EXPECT_EQ(dns::single_question_length(pointer.data(), pointer.size()), 0u);
    auto runaway = m;
    runaway[12] = 63;  // a label that runs past the end
    EXPECT_EQ(dns::single_question_length(runaway.data(), runaway.size()), 0u);

    // A name longer than 255 bytes is not a name.
    std::string long_name;
    for (int i = 0; i < 5; ++i)
        long_name += std::string(60, 'a') + ".";
    long_name += "test";
    const auto too_long = query_message(1, long_name);
    EXPECT_EQ(dns::single_question_length(too_long.data(), too_long.size()), 0u);
}

TEST(dns_message, an_answer_counts_only_when_it_repeats_the_question)
{
    const auto query = query_message(7, "web.lab.test");
    EXPECT_TRUE(dns::same_question(query.data(), query.size(), answer_message(query, 9, web_address).data(),
                                   answer_message(query, 9, web_address).size()));
    const auto upper = answer_message(query_message(7, "WEB.Lab.TEST"), 9, web_address);
    EXPECT_TRUE(dns::same_question(query.data(), query.size(), upper.data(), upper.size())) << "case differs";
    const auto other_name = answer_message(query_message(7, "wex.lab.test"), 9, web_address);
    EXPECT_FALSE(dns::same_question(query.data(), query.size(), other_name.data(), other_name.size()));
    const auto other_type = answer_message(query_message(7, "web.lab.test", 28), 9, web_address);
    EXPECT_FALSE(dns::same_question(query.data(), query.size(), other_type.data(), other_type.size()));
    const std::vector<std::uint8_t> header_only(query.begin(), query.begin() + 12);
    EXPECT_FALSE(dns::same_question(query.data(), query.size(), header_only.data(), header_only.size()));
}

TEST(dns_reply_frame, locates_the_message_only_where_every_length_agrees)
{
    const auto m = query_message(7, "web.lab.test");
    auto frame = query_frame(m);
    auto span = dns::locate_message(frame);
    ASSERT_TRUE(span);
    EXPECT_EQ(span->offset, 14u + 20 + 8);
    EXPECT_EQ(span->length, m.size());

    dns_test::frame_shape options;
    options.ihl = 15;
    span = dns::locate_message(query_frame(m, options));
    ASSERT_TRUE(span);
    EXPECT_EQ(span->offset, 14u + 60 + 8);

    dns_test::frame_shape fragment;
    fragment.flags_fragment = 0x2000;  // more fragments
    EXPECT_FALSE(dns::locate_message(query_frame(m, fragment)));

    auto long_udp = frame;
    net::store_be16(long_udp.frame + 14 + 20 + 4, static_cast<std::uint16_t>(8 + m.size() + 1));
    EXPECT_FALSE(dns::locate_message(long_udp)) << "UDP length beyond the IP datagram";

    auto short_buffer = frame;
    short_buffer.length -= 1;
    EXPECT_FALSE(dns::locate_message(short_buffer)) << "message beyond the frame the driver delivered";

    auto tcp = frame;
    tcp.frame[14 + 9] = 6;
    EXPECT_FALSE(dns::locate_message(tcp));
}

TEST(dns_reply_frame, turns_the_query_frame_into_the_servers_reply)
{
    const auto m = query_message(0x4242, "web.lab.test");
    auto frame = query_frame(m);
    const auto span = dns::locate_message(frame);
    ASSERT_TRUE(span);
    const auto answer = answer_message(m, 0x9999, web_address);
    EXPECT_EQ(dns::build_reply(frame, *span, 0x4242, answer.data(), answer.size()), dns::reply_shape::complete);

    const auto r = read_reply(frame);
    EXPECT_TRUE(r.checksums_ok);
    EXPECT_TRUE(r.macs_swapped);
    EXPECT_EQ(r.ttl, 128);
    const std::uint8_t server[4] = {10, 9, 0, 1}, client[4] = {10, 9, 0, 2};
    EXPECT_EQ(std::memcmp(r.source, server, 4), 0);
    EXPECT_EQ(std::memcmp(r.destination, client, 4), 0);
    EXPECT_EQ(r.source_port, 53);
    EXPECT_EQ(r.destination_port, 40000);
    auto expected = answer;
    expected[0] = 0x42;
    expected[1] = 0x42;
    EXPECT_EQ(r.message, expected);
}

TEST(dns_reply_frame, an_answer_longer_than_the_room_left_by_ip_options_becomes_a_truncated_reply)
{
    dns_test::frame_shape options;
    options.ihl = 15;  // 40 bytes of options: 1432 bytes of room, not 1472
    const auto m = query_message(0x0101, "big.lab.test");
    const std::size_t room = 1514 - 14 - 60 - 8;

    // Exactly the room: delivered whole, and the frame ends at 1514.
    {
        auto frame = query_frame(m, options);
        const auto answer = answer_message(m, 5, web_address, room - (m.size() + 16));
        ASSERT_EQ(answer.size(), room);
        const auto span = dns::locate_message(frame);
        EXPECT_EQ(dns::build_reply(frame, *span, 0x0101, answer.data(), answer.size()), dns::reply_shape::complete);
        EXPECT_EQ(frame.length, 1514u);
        EXPECT_TRUE(read_reply(frame).checksums_ok);
    }
    // 1472 bytes (what fits without options): never written past the frame; the client
    // gets header and question with TC and asks again over TCP.
    {
        tarnwell::INTERMEDIATE_BUFFER guarded[2]{};
        guarded[0] = query_frame(m, options);
        std::memset(&guarded[1], 0xEE, sizeof guarded[1]);
        const auto answer = answer_message(m, 5, web_address, 1472 - (m.size() + 16));
        ASSERT_EQ(answer.size(), 1472u);
        const auto span = dns::locate_message(guarded[0]);
        EXPECT_EQ(dns::build_reply(guarded[0], *span, 0x0101, answer.data(), answer.size()),
                  dns::reply_shape::truncated);
        for (std::size_t i = 0; i < sizeof guarded[1]; ++i)
            ASSERT_EQ(reinterpret_cast<const std::uint8_t*>(&guarded[1])[i], 0xEE) << "written past the frame at " << i;
        const auto r = read_reply(guarded[0]);
        EXPECT_TRUE(r.checksums_ok);
        ASSERT_EQ(r.message.size(), m.size());
        EXPECT_EQ(r.message[0], 0x01);
        EXPECT_EQ(r.message[1], 0x01);
        EXPECT_EQ(r.message[2] & 0x82, 0x82) << "QR and TC";
        EXPECT_EQ(net::load_be16(r.message.data() + 6), 0) << "no records";
        EXPECT_TRUE(std::equal(m.begin() + 12, m.end(), r.message.begin() + 12)) << "the question stays";
    }
}

// A random source that hands out the ids of a script, then counts up from 1000.
struct scripted_ids {
    std::deque<std::uint16_t> script;
    std::uint16_t next = 1000;
    bool operator()(void* data, std::size_t length)
    {
        auto* ids = static_cast<std::uint16_t*>(data);
        for (std::size_t i = 0; i < length / 2; ++i) {
            if (!script.empty()) {
                ids[i] = script.front();
                script.pop_front();
            } else {
                ids[i] = next++;
            }
        }
        return true;
    }
};

struct manual_clock {
    std::shared_ptr<std::chrono::steady_clock::time_point> now =
        std::make_shared<std::chrono::steady_clock::time_point>();
    dns::dns_clock clock() const
    {
        return [now = now] { return *now; };
    }
};

tarnwell::INTERMEDIATE_BUFFER client_query(std::uint8_t client_last_octet, std::uint16_t id = 7)
{
    dns_test::frame_shape shape;
    shape.client[3] = client_last_octet;
    return query_frame(query_message(id, "web.lab.test"), shape);
}

TEST(dns_pending_queries, never_hands_out_an_id_a_waiting_query_holds)
{
    // The script offers 77 to every query: only the first may have it while it waits.
    auto ids = std::make_shared<scripted_ids>();
    ids->script = {77, 77, 77, 78, 77};
    manual_clock time;
    dns::pending_queries table({}, time.clock(), [ids](void* d, std::size_t n) { return (*ids)(d, n); });
    dns::pending_queries::refusal why{};

    const auto frame_a = client_query(2);
    auto* a = table.add(1, frame_a, *dns::locate_message(frame_a), 2, why);
    ASSERT_TRUE(a && table.assign_id(*a, dns::server_family::ipv4));
    EXPECT_EQ(a->ids[0], 77);
    const auto frame_b = client_query(3);
    auto* b = table.add(1, frame_b, *dns::locate_message(frame_b), 3, why);
    ASSERT_TRUE(b && table.assign_id(*b, dns::server_family::ipv4));
    EXPECT_EQ(b->ids[0], 78) << "77 is still A's";
    EXPECT_EQ(table.find(dns::server_family::ipv4, 77), a);
    EXPECT_EQ(table.find(dns::server_family::ipv4, 78), b);
    EXPECT_EQ(table.find(dns::server_family::ipv6, 77), nullptr) << "families keep their own ids";

    // Once A is gone its id is free again.
    table.remove(a);
    const auto frame_c = client_query(4);
    auto* c = table.add(1, frame_c, *dns::locate_message(frame_c), 4, why);
    ASSERT_TRUE(c && table.assign_id(*c, dns::server_family::ipv4));
    EXPECT_EQ(c->ids[0], 77);
    EXPECT_EQ(table.find(dns::server_family::ipv4, 77), c);
}

TEST(dns_pending_queries, a_source_that_only_repeats_a_held_id_gets_no_id_at_all)
{
    manual_clock time;
    dns::pending_queries table({}, time.clock(), [](void* d, std::size_t n) {
        std::memset(d, 0x11, n);
        return true;
    });
    dns::pending_queries::refusal why{};
    const auto frame = client_query(2);
    auto* a = table.add(1, frame, *dns::locate_message(frame), 2, why);
    ASSERT_TRUE(table.assign_id(*a, dns::server_family::ipv4));
    auto* b = table.add(1, frame, *dns::locate_message(frame), 2, why);
    EXPECT_FALSE(table.assign_id(*b, dns::server_family::ipv4));
    EXPECT_EQ(table.find(dns::server_family::ipv4, 0x1111), a);

    dns::pending_queries broken({}, time.clock(), [](void*, std::size_t) { return false; });
    auto* d = broken.add(1, frame, *dns::locate_message(frame), 2, why);
    EXPECT_FALSE(broken.assign_id(*d, dns::server_family::ipv4)) << "no CSPRNG, no id: never a guessable one";
}

TEST(dns_pending_queries, queries_expire_and_the_table_stays_bounded_under_a_flood)
{
    manual_clock time;
    dns::pending_limits limits;
    limits.max_queries = 512;
    limits.max_queries_per_client = 64;
    limits.timeout = 5000ms;
    dns::pending_queries table(limits, time.clock());
    dns::pending_queries::refusal why{};

    // 100,000 queries from 100 clients at a server that never answers, 1 ms apart.
    std::size_t largest = 0, refused_table = 0, refused_client = 0;
    for (int i = 0; i < 100000; ++i) {
        const auto frame = client_query(static_cast<std::uint8_t>(i % 100));
        auto* q = table.add(1, frame, *dns::locate_message(frame), static_cast<std::uint32_t>(i % 100), why);
        if (q) {
            ASSERT_TRUE(table.assign_id(*q, dns::server_family::ipv4));
            ASSERT_TRUE(table.assign_id(*q, dns::server_family::ipv6));
        }
        refused_table += why == dns::pending_queries::refusal::table_full;
        refused_client += why == dns::pending_queries::refusal::client_full;
        largest = std::max(largest, table.size());
        *time.now += 1ms;
    }
    EXPECT_LE(largest, 512u);
    EXPECT_GT(refused_table, 0u);
    EXPECT_EQ(table.ids_held(dns::server_family::ipv4), table.size());
    EXPECT_EQ(table.ids_held(dns::server_family::ipv6), table.size());

    // One client alone meets its own limit long before the table's.
    dns::pending_queries fresh(limits, time.clock());
    for (int i = 0; i < 100; ++i) {
        const auto frame = client_query(9);
        fresh.add(1, frame, *dns::locate_message(frame), 9, why);
    }
    EXPECT_EQ(fresh.size(), 64u);
    EXPECT_EQ(why, dns::pending_queries::refusal::client_full);
    const auto other = client_query(10);
    EXPECT_NE(fresh.add(1, other, *dns::locate_message(other), 10, why), nullptr) << "another client still gets in";

    // After the timeout everything has gone, ids included.
    *time.now += 5001ms;
    EXPECT_EQ(fresh.expire(), 65u);
    *time.now += 5001ms;
    table.expire();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.ids_held(dns::server_family::ipv4), 0u);
    (void)refused_client;
}

}  // namespace
