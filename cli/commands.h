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

// An excerpt text as next_result gives it (excerpts each followed by " ... "), made readable:
// UTF-8 (bytes that are not read as Latin-1), tabs, line breaks and other control characters as
// spaces, and for a markup file tags removed and entities decoded.
std::string display_excerpt(const char *text, bool markup);

// path made absolute against the current directory, "." and ".." resolved; path itself when that
// fails or gives a path of max_len bytes or more.
std::string absolute_path(const char *path, size_t max_len);

#endif
