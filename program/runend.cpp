#include "program/runend.h"

void RunEnd::end() noexcept
{
    ended_.store(true);
    // Under each place's own mutex, so that a worker between asking `ended` and waiting is woken.
    std::lock_guard lock(mutex_);
    for (const auto& [mutex, changed] : waits_) {
        std::lock_guard placeLock(*mutex);
        changed->notify_all();
    }
}

void RunEnd::registerWait(std::mutex& mutex, std::condition_variable& changed)
{
    std::lock_guard lock(mutex_);
    waits_.emplace_back(&mutex, &changed);
}

void Crew::joined()
{
    std::lock_guard lock(mutex_);
    ++running_;
}

void Crew::left()
{
    std::lock_guard lock(mutex_);
    --running_;
    changed_.notify_all();
}

void Crew::mayBlock(int change)
{
    if (change == 0)
        return;
    std::lock_guard lock(mutex_);
    mayBlock_ += change;
    // Only a run that has ended waits for its workers to come to such a read.
    if (end_.ended())
        changed_.notify_all();
}

bool Crew::waitForWorkers()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return running_ == 0 || end_.ended(); });
    changed_.wait(lock, [&] { return running_ == mayBlock_; });
    return running_ == 0;
}
