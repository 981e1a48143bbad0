#include "convert/signals.h"

#include <atomic>

#include <unistd.h>

namespace {

std::atomic<UnfinishedFiles*> filesToRemove{nullptr};
std::atomic_flag ending = ATOMIC_FLAG_INIT;

// Signals whose default action does not end the process, and those that cannot be caught, are
// left alone; so are the faults, which a process raises itself, and SIGXFSZ, which the program
// ignores so that an oversized write fails and is reported.
bool leftAlone(int signal)
{
    for (const int other : {SIGKILL, SIGSTOP, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT, SIGXFSZ,
                            SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU})
        if (signal == other)
            return true;
    return false;
}

// Async-signal-safe throughout: the unlinks, then the signal again with its default action,
// which it takes once this returns and the signal is no longer blocked.
void endBySignal(int signal)
{
    if (ending.test_and_set()) {
        // Another thread is ending the process already.
        for (;;)
            pause();
    }
    if (UnfinishedFiles* files = filesToRemove.load())
        files->removeAll();
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(signal, &standard, nullptr);
    raise(signal);
}

} // namespace

EndingSignals::EndingSignals(UnfinishedFiles& files)
{
    filesToRemove = &files;
    ending.clear();
    struct sigaction handler {};
    handler.sa_handler = endBySignal;
    sigemptyset(&handler.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal)
        if (!leftAlone(signal))
            sigaddset(&handler.sa_mask, signal);
    for (int signal = 1; signal < NSIG; ++signal) {
        Saved saved{signal, {}};
        // The C library's own real-time signals refuse, and an ignored signal stays ignored.
        if (leftAlone(signal) || sigaction(signal, nullptr, &saved.action) != 0 || saved.action.sa_handler == SIG_IGN)
            continue;
        if (sigaction(signal, &handler, nullptr) == 0)
            saved_.push_back(saved);
    }
}

EndingSignals::~EndingSignals()
{
    for (const Saved& saved : saved_)
        sigaction(saved.signal, &saved.action, nullptr);
    filesToRemove = nullptr;
}
