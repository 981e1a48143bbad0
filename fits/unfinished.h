#pragma once

#include <atomic>
#include <cstddef>

// The hidden files that writes have created and not yet renamed into place or removed, for the
// program's signal handler to remove before a signal ends the process. A fixed table: entries
// are taken and given back with atomic operations only, so that removeAll can run inside a
// signal handler, on any thread, while writes on other threads come and go.
class UnfinishedFiles {
public:
    static constexpr int capacity = 256;
    static constexpr std::size_t nameLength = 32;
    static constexpr int closed = -2;

    // Records the file `name` (at most nameLength - 1 characters) in the folder open as `folder`
    // before it is created: its entry, or -1 when the table is full or the name too long, or
    // `closed` once removeAll has begun, when the file must not be created. Every call is
    // followed by created, once the creation is over (done or not).
    int add(int folder, const char* name) noexcept;
    void created() noexcept;
    // Forgets an entry that add gave (a negative entry is ignored).
    void forget(int entry) noexcept;
    // Refuses every later add, waits for the creations under way on other threads, and removes
    // every recorded file, with unlinkat alone: safe in a signal handler.
    void removeAll() noexcept;

private:
    struct Entry {
        std::atomic<int> state{0}; // free, being filled, recorded
        int folder = -1;
        char name[nameLength] = {};
    };
    Entry entries_[capacity];
    std::atomic<bool> closed_{false};
    std::atomic<int> creating_{0}; // creations under way
};
