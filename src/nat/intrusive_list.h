#pragma once
// A doubly linked list threaded through its items, so that an item leaves a list in O(1) given
// only the item, and joining a list allocates nothing. The translation tables keep their
// per-port and per-client lists this way: a client with 100,000 flows, or a port shared by many,
// costs nothing extra when one of them goes.
//
// Not synchronised; an item is in at most one list per hook; the list does not own its items.

#include <cstddef>

namespace nat {

template <class Item>
struct list_hook {
    Item* previous = nullptr;
    Item* next = nullptr;
};

template <class Item, list_hook<Item> Item::*Hook>
class intrusive_list {
public:
    Item* front() const noexcept { return first_; }
    bool empty() const noexcept { return first_ == nullptr; }
    std::size_t size() const noexcept { return size_; }

    static Item* next(const Item& item) noexcept { return (item.*Hook).next; }
    static Item* previous(const Item& item) noexcept { return (item.*Hook).previous; }

    void push_back(Item& item) noexcept
    {
        list_hook<Item>& hook = item.*Hook;
        hook.previous = last_;
        hook.next = nullptr;
        if (last_ != nullptr)
            (last_->*Hook).next = &item;
        else
            first_ = &item;
        last_ = &item;
        ++size_;
    }

    // `item` must be in this list.
    void remove(Item& item) noexcept
    {
        list_hook<Item>& hook = item.*Hook;
        if (hook.previous != nullptr)
            (hook.previous->*Hook).next = hook.next;
        else
            first_ = hook.next;
        if (hook.next != nullptr)
            (hook.next->*Hook).previous = hook.previous;
        else
            last_ = hook.previous;
        hook = {};
        --size_;
    }

    void move_to_back(Item& item) noexcept
    {
        if (last_ == &item)
            return;
        remove(item);
        push_back(item);
    }

private:
    Item* first_ = nullptr;
    Item* last_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace nat
