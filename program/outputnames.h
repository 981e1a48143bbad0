#pragma once

#include "fits/messages.h"
#include "fits/result.h"
#include "program/commandline.h"

// Before anything is read or written: the names of a run's inputs give outputs of their own, and
// none of them replaces another input of the run, there yet or not; packed files given by name
// give images whose names differ and replace no input.
Result checkOutputNames(const Options& options, Messages& messages);
