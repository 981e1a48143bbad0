#include "convert/writequeue.h"

#include "convert/console.h"

#include <chrono>
#include <csignal>
#include <system_error>
#include <thread>

#include <pthread.h>

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

void WriteQueue::whileWaiting(std::function<void()> check)
{
    whileWaiting_ = std::move(check);
}

bool WriteQueue::run(const std::function<void()>& work)
{
    {
        std::lock_guard lock(mutex_);
        waiting_.reset();
        cancelled_ = false;
        said_.clear();
    }
    whileWaiting_ = nullptr;
    auto read = [&] {
        // The signals that end the process are the writing thread's, which holds them while a
        // file is unfinished; the faults stay with whoever causes them.
        sigset_t signals;
        sigfillset(&signals);
        for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
            sigdelset(&signals, fault);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
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
            while (!waiting_ && whileWaiting_) {
                if (changed_.wait_for(lock, std::chrono::milliseconds(50), [&] { return waiting_.has_value(); }))
                    break;
                lock.unlock();
                whileWaiting_();
                lock.lock();
            }
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
