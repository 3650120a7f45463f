#pragma once
// A minimal client of the Linux control socket, speaking its wire format directly: for the
// lab tests and the benchmark relay, which must not depend on the service's driver client.
// One object is one open handle; not thread-safe (one request at a time).

#include <cstdint>
#include <string>

namespace corvflt::linux_host {

class control_client {
public:
    control_client() = default;
    ~control_client();
    control_client(const control_client&) = delete;
    control_client& operator=(const control_client&) = delete;

    bool connect(const std::string& socket_path);
    void close();
    bool connected() const { return fd_ >= 0; }

    // One request. Returns the status (0xFFFFFFFF when the socket failed); `bytes` gets the
    // bytes returned, of which at most `out_length` are copied to `out`.
    std::uint32_t request(std::uint32_t code, const void* in, std::uint32_t in_length, void* out,
                          std::uint32_t out_length, std::uint32_t* bytes = nullptr);

    // Sends raw bytes as one request message and returns the reply's status (tests of
    // malformed requests).
    std::uint32_t raw_request(const void* message, std::uint32_t length);

    // The handle of the adapter whose internal name is `name`, 0 when absent.
    std::uint64_t find_adapter(const std::string& name);

private:
    int fd_ = -1;
};

}  // namespace corvflt::linux_host
