#pragma once
// The hash multimap behind each index of the translation tables: a standard unordered_map from
// key to the values stored under it, kept in insertion order. Lookups that return "the first
// matching entry" must return the oldest one, and std::unordered_multimap leaves the order of
// equal keys to the library, so the order is kept here explicitly.
//
// Not synchronised: the owning table's lock guards it.

#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

#include "net/endpoint_key.h"

namespace nat {

template <typename Key, typename Value>
class ordered_multimap {
public:
    using value_list = std::vector<Value>;

    ordered_multimap()
    {
        // Start small and keep at most one key per bucket, as the tables always have.
        map_.max_load_factor(1.0f);
        map_.rehash(8);
    }

    // Places `value` after everything already stored under `key`.
    void append(const Key& key, Value value)
    {
        map_[key].push_back(std::move(value));
        ++size_;
    }

    // The values under `key`, oldest first; nullptr when there are none.
    const value_list* find(const Key& key) const
    {
        const auto it = map_.find(key);
        return it == map_.end() ? nullptr : &it->second;
    }

    // Removes the one value under `key` that equals `value` (for shared pointers: the very same
    // entry, not an equal one). Returns false when it is not there.
    bool erase_value(const Key& key, const Value& value)
    {
        const auto it = map_.find(key);
        if (it == map_.end())
            return false;
        value_list& list = it->second;
        for (auto v = list.begin(); v != list.end(); ++v) {
            if (*v == value) {
                list.erase(v);
                if (list.empty())
                    map_.erase(it);
                --size_;
                return true;
            }
        }
        return false;
    }

    template <typename Function>
    void for_each_key(Function&& function) const
    {
        for (const auto& [key, list] : map_)
            function(key, list);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    void clear()
    {
        map_.clear();
        size_ = 0;
    }

private:
    std::unordered_map<Key, value_list, net::fnv1a_hash> map_;
    std::size_t size_ = 0;  // values, not keys
};

}  // namespace nat
