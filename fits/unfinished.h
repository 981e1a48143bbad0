#pragma once

#include <atomic>
#include <cstddef>

// The hidden files that writes have created and not yet renamed into place or removed, for the
// program's signal handler to remove before a signal ends the process. Entries are taken and
// given back with atomic operations only, so that removeAll can run inside a signal handler, on
// any thread, while writes on other threads come and go. The table grows by chunks that stay
// until it goes, so that it holds every hidden file a run has, however many workers it has.
class UnfinishedFiles {
public:
    static constexpr int chunkEntries = 256;
    static constexpr std::size_t nameLength = 32;
    static constexpr int closed = -2;

    UnfinishedFiles() = default;
    ~UnfinishedFiles();
    UnfinishedFiles(const UnfinishedFiles&) = delete;
    UnfinishedFiles& operator=(const UnfinishedFiles&) = delete;

    // Records the file `name` (at most nameLength - 1 characters) in the folder open as `folder`
    // before it is created: its entry, or -1 when the name is too long or no memory is left for
    // another chunk, or `closed` once removeAll has begun, when the file must not be created.
    // Every call is followed by created, once the creation is over (done or not).
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
    struct Chunk {
        Entry entries[chunkEntries];
        std::atomic<Chunk*> next{nullptr};
    };
    Chunk first_;
    std::atomic<bool> closed_{false};
    std::atomic<int> creating_{0}; // creations under way
};
