#include "fits/unfinished.h"

#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

namespace {

enum State { freeEntry, filling, recorded };

// The creations under way on this thread: a signal handler that runs here waits for the others.
thread_local int creatingHere = 0;

} // namespace

int UnfinishedFiles::add(int folder, const char* name) noexcept
{
    ++creatingHere;
    creating_.fetch_add(1);
    if (closed_.load()) {
        created();
        return closed;
    }
    const std::size_t length = std::strlen(name);
    if (length >= nameLength)
        return -1;
    for (int i = 0; i < capacity; ++i) {
        int expected = freeEntry;
        if (!entries_[i].state.compare_exchange_strong(expected, filling, std::memory_order_acquire))
            continue;
        entries_[i].folder = folder;
        std::memcpy(entries_[i].name, name, length + 1);
        entries_[i].state.store(recorded, std::memory_order_release);
        return i;
    }
    return -1;
}

void UnfinishedFiles::created() noexcept
{
    // In this order a handler that comes in between waits for this creation too, and at worst
    // gives up waiting (below).
    --creatingHere;
    creating_.fetch_sub(1);
}

void UnfinishedFiles::forget(int entry) noexcept
{
    if (entry >= 0 && entry < capacity)
        entries_[entry].state.store(freeEntry, std::memory_order_release);
}

void UnfinishedFiles::removeAll() noexcept
{
    closed_.store(true);
    // A creation under way on another thread ends in a recorded file or in none; a creation takes
    // microseconds, and the wait never takes more than 50 ms.
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (creating_.load() > creatingHere) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) > 50000000L)
            break;
    }
    for (Entry& entry : entries_)
        if (entry.state.load(std::memory_order_acquire) == recorded)
            unlinkat(entry.folder, entry.name, 0);
}
