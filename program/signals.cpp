#include "program/signals.h"

#include "program/progress.h"

#include <atomic>

#include <poll.h>
#include <unistd.h>

namespace {

std::atomic<UnfinishedFiles*> filesToRemove{nullptr};
std::atomic<RunTally*> runTally{nullptr};

// How far the run came, on standard error, if it takes the words now: a pipe no one reads must
// not hold the end back.
void tellWhereItStopped()
{
    const RunTally* tally = runTally.load();
    static char text[1024];
    const std::size_t length = tally ? tally->interruptedText(text, sizeof text) : 0;
    pollfd error{STDERR_FILENO, POLLOUT, 0};
    if (length == 0 || poll(&error, 1, 0) != 1 || (error.revents & POLLOUT) == 0)
        return;
    if (progressLine().shown())
        [[maybe_unused]] const ssize_t cleared = write(STDERR_FILENO, "\r\x1b[K", 4);
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text, length);
}
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
    if (RunTally* tally = runTally.load()) {
        tally->markEnding();
        tally->waitForPublishing();
    }
    if (UnfinishedFiles* files = filesToRemove.load())
        files->removeAll();
    if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP)
        tellWhereItStopped();
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(signal, &standard, nullptr);
    raise(signal);
}

} // namespace

EndingSignals::EndingSignals(UnfinishedFiles& files, RunTally* tally)
{
    filesToRemove = &files;
    runTally = tally;
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
    runTally = nullptr;
}
