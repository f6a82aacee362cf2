#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "cli/commands.h"

int main(int argc, char **argv) {
    // Past the file size limit (ulimit -f) a write fails with EFBIG, which a run reports,
    // instead of the signal ending the process with nothing said.
    signal(SIGXFSZ, SIG_IGN);
    int code = cli_run(argc, argv, stdout, stderr);
    // cli_run has flushed; closing can still report a failed write of the last buffer.
    if (fclose(stdout) != 0 && code != EXIT_ERROR) {
        fprintf(stderr, "olmarest-cli: cannot write the output: %s\n", strerror(errno));
        code = EXIT_ERROR;
    }
    return code;
}
