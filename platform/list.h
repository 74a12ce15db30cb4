// Doubly linked lists whose links live inside the listed records, as the
// platform offers them to drivers. Unlinking checks that both neighbours
// still point back at the entry and stops the process on a corrupted list:
// writing through a damaged link would spread the damage instead.
#pragma once

#include "platform/types.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>

struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

// The record that holds `address` as its member `field`.
#define CONTAINING_RECORD(address, type, field)                                                    \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))

[[noreturn]] inline void FatalListEntryError(const LIST_ENTRY* entry) {
    std::fprintf(stderr, "Corrupted list entry %p: the process stops\n",
                 static_cast<const void*>(entry));
    std::abort();
}

inline void InitializeListHead(PLIST_ENTRY head) {
    head->Flink = head;
    head->Blink = head;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) {
    return head->Flink == head ? TRUE : FALSE;
}

inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY last = head->Blink;
    if (last->Flink != head) {
        FatalListEntryError(head);
    }
    entry->Flink = head;
    entry->Blink = last;
    last->Flink = entry;
    head->Blink = entry;
}

// TRUE when the list is empty afterwards.
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
    PLIST_ENTRY next = entry->Flink;
    PLIST_ENTRY previous = entry->Blink;
    if (next->Blink != entry || previous->Flink != entry) {
        FatalListEntryError(entry);
    }
    previous->Flink = next;
    next->Blink = previous;
    return next == previous ? TRUE : FALSE;
}

// The first entry, unlinked; the head itself when the list is empty.
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Flink;
    if (entry != head) {
        RemoveEntryList(entry);
    }
    return entry;
}
