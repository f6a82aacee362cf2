#include <csignal>
#include <cstdio>

#include "cli/commands.h"

int main(int argc, char **argv) {
    // Past the file size limit (ulimit -f) a write fails with EFBIG, which a run reports,
    // instead of the signal ending the process with nothing said.
    signal(SIGXFSZ, SIG_IGN);
    return cli_run(argc, argv, stdout, stderr);
}
