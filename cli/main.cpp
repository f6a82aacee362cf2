#include <cstdio>

#include "cli/commands.h"

int main(int argc, char **argv) { return cli_run(argc, argv, stdout, stderr); }
