// Windows discovery through WinHTTP, on the current user's proxy settings written to the
// registry as the system's settings dialog stores them: the values under Internet Settings
// and the Connections\DefaultConnectionSettings record that WinHTTP reads. Automatic
// detection stays off, so no test asks the network for a WPAD host; the configuration
// script comes from a loopback server of the test. Each test restores what it found.

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket_runtime.h"
#include "platform/win32/system_proxy_testing.h"
#include "platform/wine_detection.h"
#include "platform/win32_errors.h"
#include "proxy/proxy_list_text.h"
#include "proxy/proxy_resolver.h"

namespace {

using proxy_test::describe;

constexpr const wchar_t* internet_settings = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr const wchar_t* connections = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// One registry value as it was, put back on destruction.
class saved_value {
public:
    saved_value(const wchar_t* key, const wchar_t* name) : key_(key), name_(name)
    {
        DWORD size = 0;
        if (::RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, &type_, nullptr, &size) != ERROR_SUCCESS)
            return;
        std::vector<BYTE> data(size);
        if (::RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, &type_, data.data(), &size) == ERROR_SUCCESS) {
            data.resize(size);
            data_ = std::move(data);
        }
    }
    ~saved_value()
    {
        if (data_)
            ::RegSetKeyValueW(HKEY_CURRENT_USER, key_, name_, type_, data_->data(), static_cast<DWORD>(data_->size()));
        else
            ::RegDeleteKeyValueW(HKEY_CURRENT_USER, key_, name_);
    }
    saved_value(const saved_value&) = delete;
    saved_value& operator=(const saved_value&) = delete;

private:
    const wchar_t* key_;
    const wchar_t* name_;
    DWORD type_ = REG_NONE;
    std::optional<std::vector<BYTE>> data_;
};

// The settings record's flags.
constexpr DWORD settings_direct = 0x1;
constexpr DWORD settings_proxy = 0x2;
constexpr DWORD settings_script = 0x4;

// Version, change counter, flags, then the proxy, bypass and script texts (each a length and
// that many single-byte characters), then fields this test leaves zero.
void write_connection_settings(DWORD flags, const std::string& proxy, const std::string& bypass,
                               const std::string& script_url)
{
    std::vector<BYTE> record;
    const auto put32 = [&](DWORD v) {
        for (int i = 0; i < 4; ++i)
            record.push_back(static_cast<BYTE>(v >> (8 * i)));
    };
    const auto put_text = [&](const std::string& text) {
        put32(static_cast<DWORD>(text.size()));
        record.insert(record.end(), text.begin(), text.end());
    };
    put32(0x46);
    put32(1);
    put32(flags);
    put_text(proxy);
    put_text(bypass);
    put_text(script_url);
    record.resize(record.size() + 32);
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, connections, L"DefaultConnectionSettings", REG_BINARY,
                                record.data(), static_cast<DWORD>(record.size())),
              ERROR_SUCCESS);
}

void write_manual_values(DWORD enable, const std::wstring& server)
{
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, internet_settings, L"ProxyEnable", REG_DWORD, &enable,
                                sizeof enable),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, internet_settings, L"ProxyServer", REG_SZ, server.c_str(),
                                static_cast<DWORD>((server.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

struct discovery {
    std::uint32_t error = 0;
    std::string list;
};

discovery discover()
{
    proxy::proxy_resolver resolver;
    discovery d;
    d.error = resolver.resolve_proxy();
    d.list = describe(resolver.parse_proxy_list());
    return d;
}

// Serves one fixed HTTP answer to every request on 127.0.0.1 until destroyed.
class loopback_http_server {
public:
    explicit loopback_http_server(std::string body)
    {
        // Its own hold on Winsock: the server may outlive the test's, or come before it.
        started_ = platform::socket_startup() == 0;
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        if (listener_ == INVALID_SOCKET ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"
                                   "Content-Length: " + std::to_string(body.size()) +
                                   "\r\nConnection: close\r\n\r\n" + body;
        thread_ = std::thread([this, answer] {
            for (;;) {
                const SOCKET client = ::accept(listener_, nullptr, nullptr);
                if (client == INVALID_SOCKET)
                    return;  // closed by the destructor
                ++requests_;
                std::string request;
                char buffer[1024];
                while (request.find("\r\n\r\n") == std::string::npos) {
                    const int n = ::recv(client, buffer, sizeof buffer, 0);
                    if (n <= 0)
                        break;
                    request.append(buffer, static_cast<std::size_t>(n));
                }
                ::send(client, answer.data(), static_cast<int>(answer.size()), 0);
                ::shutdown(client, SD_SEND);
                ::closesocket(client);
            }
        });
    }
    ~loopback_http_server()
    {
        ::closesocket(listener_);
        if (thread_.joinable())
            thread_.join();
        if (started_)
            platform::socket_cleanup();
    }

    std::uint16_t port() const { return port_; }
    int requests() const { return requests_; }

private:
    bool started_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// ctest runs each case in a process of its own, in parallel: the cases that rewrite the
// user's settings take turns through a named mutex, held from before they save the settings
// until after they restored them.
class settings_turn {
public:
    settings_turn() : mutex_(::CreateMutexW(nullptr, FALSE, L"Local\\corvane-proxy-settings-test"))
    {
        if (mutex_)
            ::WaitForSingleObject(mutex_, INFINITE);  // WAIT_ABANDONED also hands it over
    }
    ~settings_turn()
    {
        if (mutex_) {
            ::ReleaseMutex(mutex_);
            ::CloseHandle(mutex_);
        }
    }
    settings_turn(const settings_turn&) = delete;
    settings_turn& operator=(const settings_turn&) = delete;

private:
    HANDLE mutex_;
};

class proxy_winhttp : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(platform::socket_startup(), 0u); }
    void TearDown() override { platform::socket_cleanup(); }

    settings_turn turn_;  // first: taken before anything is saved, released after restoring
    saved_value settings_{connections, L"DefaultConnectionSettings"};
    saved_value enable_{internet_settings, L"ProxyEnable"};
    saved_value server_{internet_settings, L"ProxyServer"};
};

TEST_F(proxy_winhttp, manual_settings_are_discovered_and_parsed)
{
    struct row {
        DWORD flags;
        const char* proxy;
        const char* list;
    } rows[] = {
        {settings_direct | settings_proxy, "10.0.0.4:3128", "http 10.0.0.4:3128"},
        {settings_direct | settings_proxy, "socks=10.0.0.5:1080", "socks 10.0.0.5:1080"},
        {settings_direct | settings_proxy, "http=10.0.0.5:8080;https=10.0.0.6:8443", "http 10.0.0.5:8080"},
        {settings_direct | settings_proxy, "10.0.0.4", ""},
        {settings_direct | settings_proxy, "10.0.0.4:65536", ""},
        {settings_direct | settings_proxy, "proxy.invalid:3128", ""},
        // A proxy that is entered but switched off is not used.
        {settings_direct, "10.0.0.4:3128", ""},
    };
    for (const row& r : rows) {
        write_connection_settings(r.flags, r.proxy, "<local>", "");
        write_manual_values(r.flags & settings_proxy ? 1 : 0, std::wstring(r.proxy, r.proxy + std::strlen(r.proxy)));
        const discovery d = discover();
        EXPECT_EQ(d.error, 0u) << r.proxy;
        EXPECT_EQ(d.list, r.list) << r.proxy;
    }

    proxy::proxy_resolver resolver;
    ASSERT_EQ(resolver.resolve_proxy(), 0u);
    EXPECT_EQ(resolver.resolve_proxy(), platform::error_invalid_operation);
}

TEST_F(proxy_winhttp, manual_values_alone_are_discovered)
{
    // Older tools write only ProxyEnable and ProxyServer. Windows keeps the record in step
    // with them; Wine's WinHTTP reads the record alone.
    write_connection_settings(settings_direct, "", "", "");
    write_manual_values(1, L"socks=10.0.0.5:1080");
    const discovery d = discover();
    EXPECT_EQ(d.error, 0u);
    if (d.list.empty() && platform::running_under_wine())
        GTEST_SKIP() << "Wine's WinHTTP ignores ProxyEnable/ProxyServer; it reads only "
                        "Internet Settings\\Connections\\DefaultConnectionSettings";
    EXPECT_EQ(d.list, "socks 10.0.0.5:1080");
}

// The answer of a configuration script served on loopback; the manual proxy is only the
// fallback.
class proxy_winhttp_script : public proxy_winhttp {
protected:
    void SetUp() override
    {
        proxy_winhttp::SetUp();
        ASSERT_NE(server_.port(), 0);
        write_connection_settings(settings_direct | settings_proxy | settings_script, "10.0.0.9:8080", "",
                                  "http://127.0.0.1:" + std::to_string(server_.port()) + "/proxy.pac");
    }
    void TearDown() override
    {
        platform::win32::use_synchronous_proxy_lookup_for_testing(false);
        proxy_winhttp::TearDown();
    }

    loopback_http_server server_{
        "function FindProxyForURL(url, host) { return \"PROXY 10.0.0.4:3128; SOCKS 10.0.0.5:1080; DIRECT\"; }\n"};
};

TEST_F(proxy_winhttp_script, asynchronous_answer_entries_come_before_the_manual_proxy)
{
    const discovery d = discover();
    EXPECT_EQ(d.error, 0u);
    if (server_.requests() == 0 && d.list == "http 10.0.0.9:8080" && platform::running_under_wine())
        GTEST_SKIP() << "Wine's WinHttpCreateProxyResolver is a stub (12178, which falls through to the "
                        "manual proxy), so scripts and detection are never asked on this path under Wine";
    EXPECT_GE(server_.requests(), 1);
    EXPECT_EQ(d.list, "http 10.0.0.4:3128, socks 10.0.0.5:1080");
}

TEST_F(proxy_winhttp_script, synchronous_answer_text_comes_before_the_manual_proxy)
{
    platform::win32::use_synchronous_proxy_lookup_for_testing(true);
    const discovery d = discover();
    EXPECT_EQ(d.error, 0u);
    EXPECT_GE(server_.requests(), 1);
    // The script's answer as one text: its first proxy is an http entry, the manual one is gone.
    EXPECT_EQ(d.list.rfind("http 10.0.0.4:3128", 0), 0u) << d.list;
    EXPECT_EQ(d.list.find("10.0.0.9"), std::string::npos) << d.list;
}

TEST_F(proxy_winhttp, a_script_that_cannot_be_fetched_falls_back_to_the_manual_proxy)
{
    platform::win32::use_synchronous_proxy_lookup_for_testing(true);
    std::uint16_t closed_port = 0;
    {
        loopback_http_server gone("");
        closed_port = gone.port();
    }
    write_connection_settings(settings_direct | settings_proxy | settings_script, "socks=10.0.0.5:1080", "",
                              "http://127.0.0.1:" + std::to_string(closed_port) + "/proxy.pac");
    const discovery d = discover();
    platform::win32::use_synchronous_proxy_lookup_for_testing(false);
    EXPECT_EQ(d.error, 0u);
    EXPECT_EQ(d.list, "socks 10.0.0.5:1080");
    // The asynchronous path (where it works) takes the same fall-back.
    EXPECT_EQ(discover().list, "socks 10.0.0.5:1080");
}

}  // namespace
