#pragma once

// The whole program: version line, command line, maps, then every input file.
// Returns the exit status; fatal errors are caught here and give 1.
int kovrentMain(int argc, const char* const* argv);
