#include "fits/unfinished.h"

#include <cstring>
#include <ctime>
#include <new>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

enum State { freeEntry, filling, recorded };

// The creations under way on this thread: a signal handler that runs here waits for the others.
thread_local int creatingHere = 0;

} // namespace

UnfinishedFiles::~UnfinishedFiles()
{
    for (Chunk* chunk = first_.next.load(); chunk;)
        delete std::exchange(chunk, chunk->next.load());
}

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
    Chunk* chunk = &first_;
    for (int base = 0;; base += chunkEntries) {
        for (int i = 0; i < chunkEntries; ++i) {
            Entry& entry = chunk->entries[i];
            int expected = freeEntry;
            if (!entry.state.compare_exchange_strong(expected, filling, std::memory_order_acquire))
                continue;
            entry.folder = folder;
            std::memcpy(entry.name, name, length + 1);
            entry.state.store(recorded, std::memory_order_release);
            return base + i;
        }
        Chunk* next = chunk->next.load(std::memory_order_acquire);
        if (!next) {
            // Another thread may add a chunk at the same time: the one that loses gives its own back.
            auto* added = new (std::nothrow) Chunk;
            if (!added)
                return -1;
            if (chunk->next.compare_exchange_strong(next, added, std::memory_order_acq_rel))
                next = added;
            else
                delete added;
        }
        chunk = next;
    }
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
    if (entry < 0)
        return;
    Chunk* chunk = &first_;
    for (; chunk && entry >= chunkEntries; entry -= chunkEntries)
        chunk = chunk->next.load(std::memory_order_acquire);
    if (chunk)
        chunk->entries[entry].state.store(freeEntry, std::memory_order_release);
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
    for (Chunk* chunk = &first_; chunk; chunk = chunk->next.load(std::memory_order_acquire))
        for (Entry& entry : chunk->entries)
            if (entry.state.load(std::memory_order_acquire) == recorded)
                unlinkat(entry.folder, entry.name, 0);
}
