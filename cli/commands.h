// olmarest-cli: the command-line companion of the desktop program, on the same engine.
// Works in the current directory exactly as the desktop program does (idx.dat, stopwords.txt).
#ifndef OLMAREST_CLI_COMMANDS_H
#define OLMAREST_CLI_COMMANDS_H

#include <cstdio>
#include <string>

// Runs one command line; returns the process exit code. out and err receive what the program
// writes to standard output and standard error.
int cli_run(int argc, char **argv, FILE *out, FILE *err);

int cmd_index(const char *path, bool verbose, FILE *out, FILE *err);
int cmd_search(int nwords, char **words, bool excerpts, FILE *out, FILE *err);

#endif
