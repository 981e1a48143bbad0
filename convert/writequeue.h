#pragma once

#include "fits/messages.h"

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

// The writing of a run's outputs one output behind their reading: the reading and decoding run
// on a second thread, whose words are kept, while the calling thread prints them in their order
// and runs the writes handed over, so that every line and file comes as a run on one thread
// makes them. At most one write waits at a time, so memory does not grow with the run.
class WriteQueue {
public:
    // Runs `work` on a second thread, and its writes here, each after the words said before it; then the words said after the last.
    // A FatalExit of the work, or of a write (which stops the work first), is thrown here.
    // False, with nothing done, when no thread can be started.
    bool run(const std::function<void()>& work);

    // From the work's thread: `write` to be run on the writing thread, after everything said so
    // far. Waits while another write waits.
    void submit(std::function<void()> write);

private:
    struct Item {
        Messages messages;
        std::function<void()> write; // none for the last item
        std::exception_ptr error;    // the work's, with the last item
    };
    struct Cancelled {};

    void hand(Item item);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Item> waiting_;
    bool cancelled_ = false;
    Messages said_; // the work's words since its last write
};

// Things a run reuses from one output to the next, such as data buffers and rasters, handed
// between its threads: take() gives one that was given back, or a new, empty one.
template <typename T>
class Pool {
public:
    T take()
    {
        std::lock_guard lock(mutex_);
        if (free_.empty())
            return T();
        T thing = std::move(free_.back());
        free_.pop_back();
        return thing;
    }
    void give(T thing)
    {
        std::lock_guard lock(mutex_);
        free_.push_back(std::move(thing));
    }

private:
    std::mutex mutex_;
    std::vector<T> free_;
};
