#include "convert/writequeue.h"

#include "convert/console.h"

#include <system_error>
#include <thread>

void WriteQueue::hand(Item item)
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !waiting_ || cancelled_; });
    if (cancelled_)
        throw Cancelled{};
    waiting_ = std::move(item);
    changed_.notify_all();
}

void WriteQueue::submit(std::function<void()> write)
{
    Item item{std::move(said_), std::move(write), nullptr};
    said_.clear();
    hand(std::move(item));
}

bool WriteQueue::run(const std::function<void()>& work)
{
    {
        std::lock_guard lock(mutex_);
        waiting_.reset();
        cancelled_ = false;
        said_.clear();
    }
    auto read = [&] {
        std::exception_ptr error;
        try {
            const CapturedOutput capture(said_);
            work();
        } catch (const Cancelled&) {
            return;
        } catch (...) {
            error = std::current_exception();
        }
        try {
            Item last{std::move(said_), nullptr, error};
            hand(std::move(last));
        } catch (const Cancelled&) {
        }
    };
    std::thread worker;
    try {
        worker = std::thread(read);
    } catch (const std::system_error&) {
        return false;
    }
    for (;;) {
        Item item;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return waiting_.has_value(); });
            item = std::move(*waiting_);
            waiting_.reset();
            changed_.notify_all();
        }
        print(item.messages);
        if (!item.write) {
            worker.join();
            if (item.error)
                std::rethrow_exception(item.error);
            return true;
        }
        try {
            item.write();
        } catch (...) {
            {
                std::lock_guard lock(mutex_);
                cancelled_ = true;
                changed_.notify_all();
            }
            worker.join();
            throw;
        }
    }
}
