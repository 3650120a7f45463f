// The Linux control device against an in-test daemon that speaks the SEQPACKET protocol.

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/control_device.h"

namespace {

constexpr std::uint32_t wan_links_reply = 530436;

struct request {
    std::uint32_t code = 0;
    std::uint32_t output_length = 0;
    std::vector<std::uint8_t> input;
};

// What the handler wants sent back: messages of raw bytes (the first carries the header),
// then the connection closed if `close`.
struct reply {
    std::vector<std::vector<std::uint8_t>> parts;
    bool close = false;
};

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t get_u32(const std::uint8_t* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

reply make_reply(std::uint32_t status, const std::vector<std::uint8_t>& output)
{
    std::vector<std::uint8_t> bytes;
    put_u32(bytes, status);
    put_u32(bytes, static_cast<std::uint32_t>(output.size()));
    bytes.insert(bytes.end(), output.begin(), output.end());
    return reply{{bytes}};
}

// A daemon stand-in on a temporary CORVFLT_DEVICE_DIR; one thread per connection.
class fake_daemon {
public:
    using handler = std::function<reply(const request&)>;

    explicit fake_daemon(handler h) : handler_(std::move(h))
    {
        char tmpl[] = "/tmp/corvane_device_XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        ::setenv("CORVFLT_DEVICE_DIR", dir_.c_str(), 1);
        listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s/CORVFLT", dir_.c_str());
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 8), 0);
        acceptor_ = std::thread([this] { accept_loop(); });
    }

    ~fake_daemon()
    {
        ::shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (int fd : connections_)
                ::shutdown(fd, SHUT_RDWR);
        }
        for (auto& t : servers_)
            t.join();
        for (int fd : connections_)
            ::close(fd);
        ::close(listener_);
        std::string path = dir_ + "/CORVFLT";
        ::unlink(path.c_str());
        ::rmdir(dir_.c_str());
        ::unsetenv("CORVFLT_DEVICE_DIR");
    }

    std::uint32_t requests_seen() const { return requests_.load(); }

private:
    void accept_loop()
    {
        for (;;) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            // The largest reply does not fit the default send buffer.
            const int bytes = 1 << 20;
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
            std::lock_guard<std::mutex> lock(mutex_);
            connections_.push_back(fd);
            servers_.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd)
    {
        std::vector<std::uint8_t> buffer(1 << 20);
        for (;;) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n < 8)
                return;
            ++requests_;
            request q;
            q.code = get_u32(buffer.data());
            q.output_length = get_u32(buffer.data() + 4);
            q.input.assign(buffer.begin() + 8, buffer.begin() + n);
            const reply r = handler_(q);
            for (const std::vector<std::uint8_t>& part : r.parts) {
                if (::send(fd, part.data(), part.size(), MSG_NOSIGNAL) < 0)
                    return;
            }
            if (r.close) {
                ::shutdown(fd, SHUT_RDWR);
                return;
            }
        }
    }

    handler handler_;
    std::string dir_;
    int listener_ = -1;
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> connections_;
    std::vector<std::thread> servers_;
    std::atomic<std::uint32_t> requests_{0};
};

// Echoes the input (cut to the output length) and puts the code and output length first,
// so a reply can only match the request it answers.
reply echo(const request& q)
{
    std::vector<std::uint8_t> out;
    put_u32(out, q.code);
    put_u32(out, q.output_length);
    out.insert(out.end(), q.input.begin(), q.input.end());
    if (out.size() > q.output_length)
        out.resize(q.output_length);
    return make_reply(0, out);
}

std::unique_ptr<platform::control_device> open_device()
{
    auto result = platform::open_control_device("\\\\.\\CORVFLT");
    EXPECT_EQ(result.error, platform::error_success);
    return std::move(result.device);
}

TEST(platform_control_device_linux, request_and_reply_carry_code_lengths_and_bytes)
{
    fake_daemon daemon(echo);
    auto device = open_device();
    ASSERT_TRUE(device);

    const std::uint8_t input[] = {1, 2, 3, 4, 5};
    std::uint8_t output[32] = {};
    std::uint32_t returned = 99;
    ASSERT_EQ(device->control(0x830020C0u, input, sizeof input, output, sizeof output, &returned),
              platform::error_success);
    ASSERT_EQ(returned, 8u + sizeof input);
    EXPECT_EQ(get_u32(output), 0x830020C0u);
    EXPECT_EQ(get_u32(output + 4), sizeof output);
    EXPECT_EQ(0, std::memcmp(output + 8, input, sizeof input));

    // No input and no output at all, and a null bytes_returned.
    EXPECT_EQ(device->control(0x830020FCu, nullptr, 0, nullptr, 0, nullptr),
              platform::error_success);
    // A null buffer with a length is refused before anything is sent.
    const auto seen = daemon.requests_seen();
    EXPECT_EQ(device->control(1, nullptr, 4, output, 4, &returned),
              platform::error_invalid_parameter);
    EXPECT_EQ(device->control(1, input, 1, nullptr, 4, &returned),
              platform::error_invalid_parameter);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(daemon.requests_seen(), seen);
}

TEST(platform_control_device_linux, failure_statuses_become_win32_errors_with_no_bytes)
{
    struct row {
        std::uint32_t status;
        std::uint32_t error;
    };
    const row rows[] = {
        {0xC000000Du, platform::error_invalid_parameter},
        {0xC000009Au, platform::error_no_system_resources},
        {0xC000020Au, platform::error_dup_name},
        {0xC00000BBu, platform::error_not_supported},
        {0xDEADBEEFu, platform::error_gen_failure},
    };
    std::atomic<std::uint32_t> next_status{0};
    fake_daemon daemon([&](const request&) { return make_reply(next_status.load(), {}); });
    auto device = open_device();
    ASSERT_TRUE(device);
    for (const row& r : rows) {
        next_status = r.status;
        std::uint8_t output[4];
        std::uint32_t returned = 7;
        EXPECT_EQ(device->control(2, nullptr, 0, output, sizeof output, &returned), r.error);
        EXPECT_EQ(returned, 0u);
    }
}

TEST(platform_control_device_linux, wan_links_sized_reply_arrives_whole)
{
    fake_daemon daemon([](const request& q) {
        std::vector<std::uint8_t> out(q.output_length);
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<std::uint8_t>(i * 7 + 3);
        return make_reply(0, out);
    });
    auto device = open_device();
    ASSERT_TRUE(device);
    std::vector<std::uint8_t> output(wan_links_reply);
    const std::uint64_t handle = 42;
    std::uint32_t returned = 0;
    ASSERT_EQ(device->control(0x8300210Cu, &handle, sizeof handle, output.data(), wan_links_reply,
                              &returned),
              platform::error_success);
    ASSERT_EQ(returned, wan_links_reply);
    for (std::size_t i = 0; i < output.size(); ++i)
        ASSERT_EQ(output[i], static_cast<std::uint8_t>(i * 7 + 3)) << i;

    // Large inputs go out in one message as well (a big filter table).
    std::vector<std::uint8_t> table(4 + 181 * 1000, 0x5A);
    std::uint8_t small[4];
    EXPECT_EQ(device->control(0x830020F8u, table.data(), static_cast<std::uint32_t>(table.size()),
                              small, sizeof small, &returned),
              platform::error_success);
}

// Large outputs come in several messages: the first with the header, the rest output bytes
// only. The output arrives whole and in order.
TEST(platform_control_device_linux, a_reply_in_several_messages_arrives_whole)
{
    constexpr std::uint32_t size = 4u << 20;
    const auto byte_at = [](std::size_t i) { return static_cast<std::uint8_t>(i * 5 + i / 251); };
    fake_daemon daemon([&](const request& q) {
        std::vector<std::uint8_t> out(q.output_length);
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = byte_at(i);
        reply r = make_reply(0, std::vector<std::uint8_t>(out.begin(), out.begin() + 1000));
        for (int i = 0; i < 4; ++i)
            r.parts[0][4 + i] = static_cast<std::uint8_t>(out.size() >> (8 * i));
        for (std::size_t at = 1000; at < out.size(); at += 65536)
            r.parts.emplace_back(out.begin() + at, out.begin() + std::min(out.size(), at + 65536));
        return r;
    });
    auto device = open_device();
    ASSERT_TRUE(device);
    std::vector<std::uint8_t> output(size);
    std::uint32_t returned = 0;
    ASSERT_EQ(device->control(0x830020F4u, nullptr, 0, output.data(), size, &returned),
              platform::error_success);
    ASSERT_EQ(returned, size);
    for (std::size_t i = 0; i < output.size(); ++i)
        ASSERT_EQ(output[i], byte_at(i)) << i;
    // The connection is in step for the next request.
    ASSERT_EQ(device->control(0x830020F4u, nullptr, 0, output.data(), 2000, &returned),
              platform::error_success);
    EXPECT_EQ(returned, 2000u);
}

TEST(platform_control_device_linux, lying_replies_and_a_closed_daemon_fail_every_later_call)
{
    struct row {
        const char* what;
        std::function<reply(const request&)> answer;
    };
    const row rows[] = {
        {"reply shorter than its header",
         [](const request&) { return reply{{std::vector<std::uint8_t>{0, 0, 0}}}; }},
        {"claims more bytes than it carries, then closes",
         [](const request&) {
             reply r = make_reply(0, {1, 2});
             r.parts[0][4] = 3;
             r.close = true;
             return r;
         }},
        {"carries more bytes than it claims",
         [](const request&) {
             reply r = make_reply(0, {1, 2, 3});
             r.parts[0][4] = 2;
             return r;
         }},
        {"a continuation longer than what is left",
         [](const request&) {
             reply r = make_reply(0, {1, 2});
             r.parts[0][4] = 4;
             r.parts.push_back({3, 4, 5});
             return r;
         }},
        {"more bytes than the output holds",
         [](const request& q) { return make_reply(0, std::vector<std::uint8_t>(q.output_length + 1)); }},
        {"daemon closes mid-request", [](const request&) { return reply{{}, true}; }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        fake_daemon daemon(r.answer);
        auto device = open_device();
        ASSERT_TRUE(device);
        std::uint8_t output[16];
        std::uint32_t returned = 5;
        const std::uint32_t first = device->control(3, nullptr, 0, output, sizeof output, &returned);
        EXPECT_NE(first, platform::error_success);
        EXPECT_EQ(returned, 0u);
        const auto seen = daemon.requests_seen();
        EXPECT_EQ(device->control(3, nullptr, 0, output, sizeof output, &returned),
                  platform::error_device_not_connected);
        EXPECT_EQ(daemon.requests_seen(), seen);  // given up without asking again
    }
}

TEST(platform_control_device_linux, concurrent_callers_on_one_handle_get_their_own_replies)
{
    fake_daemon daemon(echo);
    auto device = open_device();
    ASSERT_TRUE(device);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> callers;
    for (std::uint32_t t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            for (std::uint32_t i = 0; i < 300; ++i) {
                const std::uint32_t tag = t << 16 | i;
                std::uint8_t output[12];
                std::uint32_t returned = 0;
                const std::uint32_t code = 0x83000000u | tag;
                if (device->control(code, &tag, sizeof tag, output, sizeof output, &returned) !=
                        platform::error_success ||
                    returned != 12 || get_u32(output) != code || get_u32(output + 8) != tag)
                    ++mismatches;
            }
        });
    for (auto& c : callers)
        c.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(platform_control_device_linux, open_fails_cleanly_without_a_listening_daemon)
{
    char tmpl[] = "/tmp/corvane_device_XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    ::setenv("CORVFLT_DEVICE_DIR", dir.c_str(), 1);

    EXPECT_EQ(platform::open_control_device("\\\\.\\CORVFLT").error,
              platform::error_file_not_found);

    // A socket file left behind by a daemon that died.
    const std::string path = dir + "/CORVFLT";
    const int stale = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);
    EXPECT_EQ(platform::open_control_device("\\\\.\\CORVFLT").error,
              platform::error_file_not_found);
    ::unlink(path.c_str());

    struct row {
        const char* path;
        std::uint32_t error;
    };
    const row rows[] = {
        {"CORVFLT", platform::error_path_not_found},
        {"/run/corvflt/CORVFLT", platform::error_path_not_found},
        {"\\\\.\\", platform::error_invalid_name},
        {"\\\\.\\../CORVFLT", platform::error_invalid_name},
        {"\\\\.\\a\\b", platform::error_invalid_name},
    };
    for (const row& r : rows) {
        auto result = platform::open_control_device(r.path);
        EXPECT_FALSE(result.device) << r.path;
        EXPECT_EQ(result.error, r.error) << r.path;
    }

    const std::string long_dir(200, 'x');
    ::setenv("CORVFLT_DEVICE_DIR", ("/tmp/" + long_dir).c_str(), 1);
    EXPECT_EQ(platform::open_control_device("\\\\.\\CORVFLT").error,
              platform::error_filename_exced_range);

    ::unsetenv("CORVFLT_DEVICE_DIR");
    ::rmdir(dir.c_str());
}

}  // namespace
