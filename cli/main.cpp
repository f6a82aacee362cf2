#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/commands.h"

int main(int argc, char **argv) {
    int code = cli_run(argc, argv, stdout, stderr);
    // cli_run has flushed; closing can still report a failed write of the last buffer.
    if (fclose(stdout) != 0 && code != EXIT_ERROR) {
        fprintf(stderr, "olmarest-cli: cannot write the output: %s\n", strerror(errno));
        code = EXIT_ERROR;
    }
    return code;
}
