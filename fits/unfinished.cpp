#include "fits/unfinished.h"

#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

enum State { freeEntry, filling, recorded };

} // namespace

int UnfinishedFiles::add(int folder, const char* name) noexcept
{
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

void UnfinishedFiles::forget(int entry) noexcept
{
    if (entry >= 0 && entry < capacity)
        entries_[entry].state.store(freeEntry, std::memory_order_release);
}

void UnfinishedFiles::removeAll() noexcept
{
    for (Entry& entry : entries_)
        if (entry.state.load(std::memory_order_acquire) == recorded)
            unlinkat(entry.folder, entry.name, 0);
}
