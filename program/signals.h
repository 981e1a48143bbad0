#pragma once

#include "fits/unfinished.h"

#include <csignal>
#include <vector>

// The program's hold on the signals that end a process by default (all but SIGKILL, SIGSTOP,
// the faults and SIGXFSZ): while it lives, such a signal first removes `files`, then ends the
// process as the signal would have, so that a shell sees it (128 + its number). A signal the
// process ignores, as a background job ignores SIGINT, stays ignored. Only the program's driver
// makes one; the dispositions are restored when it goes.
class RunTally;

class EndingSignals {
public:
    // SIGINT, SIGTERM and SIGHUP also leave on standard error how far `tally` came, when it can
    // be written at once.
    EndingSignals(UnfinishedFiles& files, RunTally* tally);
    ~EndingSignals();
    EndingSignals(const EndingSignals&) = delete;
    EndingSignals& operator=(const EndingSignals&) = delete;

private:
    struct Saved {
        int signal;
        struct sigaction action;
    };
    std::vector<Saved> saved_;
};
