#pragma once
// The hash map behind the translation tables' indexes: open addressing with linear probing in
// one array of slots, each holding its key, a tag taken from the hash and the value. A lookup
// reads one or two adjacent slots instead of a bucket, a node and its neighbour as a node hash
// does, so 100,000 flows cost about what 1,000 do; removal shifts the following slots back
// (no tombstones), so a table that churns never degrades. Allocates only when it grows.
//
// Keys are unique. References and pointers to values are invalidated by insertion and
// removal. Not synchronised: the owning table's lock guards it.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace nat {

template <class Key, class Value, class Hash>
class open_hash_map {
public:
    open_hash_map() { slots_.resize(initial_capacity); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    Value* find(const Key& key) noexcept
    {
        const std::size_t i = position_of(key);
        return i == npos ? nullptr : &slots_[i].value;
    }
    const Value* find(const Key& key) const noexcept
    {
        const std::size_t i = position_of(key);
        return i == npos ? nullptr : &slots_[i].value;
    }

    // The value under `key`, value-initialised first if there was none.
    Value& find_or_insert(const Key& key)
    {
        const std::uint32_t tag = tag_of(key);
        std::size_t i = tag & mask();
        for (; slots_[i].tag != 0; i = (i + 1) & mask()) {
            if (slots_[i].tag == tag && slots_[i].key == key)
                return slots_[i].value;
        }
        if (needs_growth()) {
            grow();
            for (i = tag & mask(); slots_[i].tag != 0; i = (i + 1) & mask()) {
            }
        }
        slots_[i].key = key;
        slots_[i].tag = tag;
        slots_[i].value = Value{};
        ++size_;
        return slots_[i].value;
    }

    // False, changing nothing, when `key` is already there.
    bool insert(const Key& key, Value value)
    {
        const std::size_t before = size_;
        Value& stored = find_or_insert(key);
        if (size_ == before)
            return false;
        stored = std::move(value);
        return true;
    }

    bool erase(const Key& key)
    {
        const std::size_t i = position_of(key);
        if (i == npos)
            return false;
        erase_at(i);
        return true;
    }

    // Drops every entry and gives the memory back.
    void clear()
    {
        std::vector<slot>(initial_capacity).swap(slots_);
        size_ = 0;
    }

    template <typename Function>
    void for_each(Function&& function) const
    {
        for (const slot& s : slots_) {
            if (s.tag != 0)
                function(s.key, s.value);
        }
    }

private:
    static constexpr std::size_t initial_capacity = 16;  // a power of two
    static constexpr std::size_t npos = ~std::size_t{0};
    // The tag is the hash's low 31 bits with the top bit set; 0 marks an empty slot. The
    // home slot is tag & mask, so the capacity stays below 2^31.
    static constexpr std::uint32_t occupied = 0x80000000u;

    struct slot {
        Key key{};
        std::uint32_t tag = 0;
        Value value{};
    };

    static std::uint32_t tag_of(const Key& key) noexcept
    {
        // FNV-1a's low bits depend only on the low bits of each input byte: fold the high
        // half in before the low bits pick the slot.
        std::uint64_t hash = Hash{}(key);
        hash ^= hash >> 32;
        hash ^= hash >> 15;
        return static_cast<std::uint32_t>(hash) | occupied;
    }
    std::size_t mask() const noexcept { return slots_.size() - 1; }
    // At most three quarters full: probe runs stay short.
    bool needs_growth() const noexcept { return (size_ + 1) * 4 > slots_.size() * 3; }

    std::size_t position_of(const Key& key) const noexcept
    {
        const std::uint32_t tag = tag_of(key);
        for (std::size_t i = tag & mask(); slots_[i].tag != 0; i = (i + 1) & mask()) {
            if (slots_[i].tag == tag && slots_[i].key == key)
                return i;
        }
        return npos;
    }

    // Backward-shift deletion: every later slot of the run that may live at the hole moves
    // into it, so that no probe run is ever broken.
    void erase_at(std::size_t hole)
    {
        for (std::size_t next = (hole + 1) & mask(); slots_[next].tag != 0; next = (next + 1) & mask()) {
            const std::size_t home = slots_[next].tag & mask();
            // `next` may move to `hole` when its home is not cyclically within (hole, next].
            const bool home_after_hole =
                hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
            if (home_after_hole)
                continue;
            slots_[hole] = std::move(slots_[next]);
            hole = next;
        }
        slots_[hole] = slot{};
        --size_;
    }

    void grow()
    {
        std::vector<slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (slot& s : old) {
            if (s.tag == 0)
                continue;
            std::size_t i = s.tag & mask();
            while (slots_[i].tag != 0)
                i = (i + 1) & mask();
            slots_[i] = std::move(s);
        }
    }

    std::vector<slot> slots_;
    std::size_t size_ = 0;
};

}  // namespace nat
