// The forwarder's answer path on hostile bytes: client frames located and stored as waiting
// queries, then answers matched by id and question and turned into reply frames. Input: a
// 2-byte length and that many bytes of client frame, repeated while a 0x00 marker follows;
// then answers, each a 2-byte length and its bytes. Checks that every reply frame stays
// within the frame area and carries the client's id.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dns/dns_message.h"
#include "dns/dns_reply_frame.h"
#include "dns/pending_queries.h"
#include "net/byte_order.h"

namespace {

struct reader {
    const std::uint8_t* data;
    std::size_t size;
    bool chunk(const std::uint8_t*& out, std::size_t& length)
    {
        if (size < 2)
            return false;
        length = std::min<std::size_t>(net::load_be16(data), size - 2);
        out = data + 2;
        data += 2 + length;
        size -= 2 + length;
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    dns::pending_limits limits;
    limits.max_queries = 8;
    limits.max_queries_per_client = 4;
    std::uint16_t next_id = 0;
    dns::pending_queries table(limits, [] { return std::chrono::steady_clock::time_point{}; },
                               [&next_id](void* out, std::size_t n) {
                                   auto* ids = static_cast<std::uint16_t*>(out);
                                   for (std::size_t i = 0; i < n / 2; ++i)
                                       ids[i] = next_id++ % 4;  // few ids: collisions on purpose
                                   return true;
                               });
    reader in{data, size};
    const std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
    do {
        if (!in.chunk(bytes, length))
            return 0;
        tarnwell::INTERMEDIATE_BUFFER frame{};
        std::memcpy(frame.frame, bytes, std::min<std::size_t>(length, sizeof frame.frame));
        frame.length = static_cast<std::uint32_t>(length);
        const auto message = dns::locate_message(frame);
        if (!message || message->length < dns::header_size ||
            dns::single_question_length(frame.frame + message->offset, message->length) == 0)
            continue;
        dns::pending_queries::refusal why{};
        if (auto* query = table.add(1, frame, *message, frame.frame[0], why)) {
            if (!table.assign_id(*query, dns::server_family::ipv4))
                table.remove(query);
        }
    } while (in.size > 0 && in.data[0] == 0 && (++in.data, --in.size, true));

    while (in.chunk(bytes, length)) {
        if (length < dns::header_size)
            continue;
        dns::pending_query* query = table.find(dns::server_family::ipv4, net::load_be16(bytes));
        if (!query)
            continue;
        if (!dns::same_question(query->buffer.frame + query->message.offset, query->message.length, bytes, length))
            continue;
        tarnwell::INTERMEDIATE_BUFFER reply = query->buffer;
        dns::build_reply(reply, query->message, query->client_id, bytes, length);
        if (reply.length > sizeof reply.frame || net::load_be16(reply.frame + query->message.offset) != query->client_id)
            std::abort();
        table.remove(query);
    }
    return 0;
}
