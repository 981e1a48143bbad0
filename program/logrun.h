#pragma once

struct Options;
class RunTally;
class UnfinishedFiles;

// The program's --log run: the header of every input of the command line, read by the run's
// `jobs` workers, one row each in order into the log named by --log, written as every output is
// (a hidden file renamed into place), or in place into what stands there when it is no regular
// file. Says on standard error how many files it logged and how many
// could not be read. Returns the exit status: 1 when a row is not 'ok' or the log cannot be
// written.
int writeObservingLog(const Options& options, int jobs, UnfinishedFiles* unfinished, RunTally& tally);
