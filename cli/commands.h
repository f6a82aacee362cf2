// olmarest-cli: the command-line companion of the desktop program, on the same engine and the
// same index directory (idx/idxdir.h).
#ifndef OLMAREST_CLI_COMMANDS_H
#define OLMAREST_CLI_COMMANDS_H

#include <cstdio>
#include <string>

// Exit codes, as grep users expect: search 0 when a row was printed, 1 when none; index 0 on
// success, 1 when the run failed; 2 for bad usage and errors; 130 for an interrupted run. Beyond
// grep's three: index 3 when the run completed but left files or folders out of the index.
constexpr int EXIT_MATCH = 0, EXIT_NONE = 1, EXIT_FAILED = 1, EXIT_ERROR = 2, EXIT_INCOMPLETE = 3,
              EXIT_INTERRUPTED = 130;

// Runs one command line; returns the process exit code. out and err receive what the program
// writes to standard output and standard error; a write to out that fails gives EXIT_ERROR.
int cli_run(int argc, char **argv, FILE *out, FILE *err);

#endif
