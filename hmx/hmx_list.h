// Intrusive doubly linked lists {head, tail, count}: the client records,
// transactions and transport records live in the lists that own them, so a
// record can sit in several lists at once without allocations.
#pragma once

#include <cstdint>

template <typename T> struct HmxLink {
    T* prev = nullptr;
    T* next = nullptr;
};

template <typename T, HmxLink<T> T::*Link> struct HmxList {
    T* head = nullptr;
    T* tail = nullptr;
    std::uint32_t count = 0;

    static T* Next(const T* item) { return (item->*Link).next; }

    void Append(T* item) {
        (item->*Link).prev = tail;
        (item->*Link).next = nullptr;
        if (tail != nullptr) {
            (tail->*Link).next = item;
        } else {
            head = item;
        }
        tail = item;
        ++count;
    }

    void Remove(T* item) {
        HmxLink<T>& link = item->*Link;
        if (link.prev != nullptr) {
            (link.prev->*Link).next = link.next;
        } else {
            head = link.next;
        }
        if (link.next != nullptr) {
            (link.next->*Link).prev = link.prev;
        } else {
            tail = link.prev;
        }
        link.prev = link.next = nullptr;
        --count;
    }

    bool Contains(const T* item) const {
        for (T* it = head; it != nullptr; it = Next(it)) {
            if (it == item) {
                return true;
            }
        }
        return false;
    }

    // Hands the whole list over, leaving this one empty.
    HmxList Detach() {
        HmxList taken = *this;
        *this = HmxList{};
        return taken;
    }
};
