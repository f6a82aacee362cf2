// Helper processes: a program of ours run on a document with limits, its output read back.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "os/os.h"

extern char **environ;

// The document goes in through a file in memory: a pipe would need a thread to feed it while the
// output is read, and a helper that dies early would leave the writer with SIGPIPE.
static int memory_file(const char *data, size_t n) {
    int fd = memfd_create("olmarest-helper-input", MFD_CLOEXEC);
    if (fd < 0) return -1;
    for (size_t at = 0; at < n;) {
        ssize_t k = write(fd, data + at, n - at);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            close(fd);
            return -1;
        }
        at += static_cast<size_t>(k);
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static int reap(pid_t pid, int *code) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        *code = WEXITSTATUS(status);
        return OS_HELPER_EXITED;
    }
    return OS_HELPER_CRASHED;
}

int os_run_helper(const char *const *argv, const char *data, size_t n, int wall_ms, OsHelperOut out, void *ctx,
                  int *code) {
    *code = -1;
    int in = memory_file(data, n);
    if (in < 0) return OS_HELPER_NOT_RUN;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        close(in);
        return OS_HELPER_NOT_RUN;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in, 0);
    posix_spawn_file_actions_adddup2(&fa, pipe_fds[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, const_cast<char *const *>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in);
    close(pipe_fds[1]);
    if (rc != 0) {
        close(pipe_fds[0]);
        return OS_HELPER_NOT_RUN;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wall_ms);
    char buf[65536];
    int end = -1;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            end = OS_HELPER_TIMED_OUT;
            break;
        }
        pollfd p{pipe_fds[0], POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 100)));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) {
            if (!out(ctx, nullptr, 0)) {
                end = OS_HELPER_STOPPED;
                break;
            }
            continue; // the deadline is checked above
        }
        ssize_t k = read(pipe_fds[0], buf, sizeof buf);
        if (k < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (k <= 0) break; // its output ended: it exits, or has
        if (!out(ctx, buf, static_cast<size_t>(k))) {
            end = OS_HELPER_STOPPED;
            break;
        }
    }
    close(pipe_fds[0]);
    if (end >= 0) {
        kill(pid, SIGKILL);
        int ignored;
        reap(pid, &ignored);
        return end;
    }
    // Output ended; a helper that closed it and lingers is still held to its time.
    for (;;) {
        int status = 0;
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            if (WIFEXITED(status)) {
                *code = WEXITSTATUS(status);
                return OS_HELPER_EXITED;
            }
            return OS_HELPER_CRASHED;
        }
        if (w < 0 && errno != EINTR) return OS_HELPER_CRASHED;
        if (std::chrono::steady_clock::now() >= deadline || !out(ctx, nullptr, 0)) {
            kill(pid, SIGKILL);
            int ignored;
            reap(pid, &ignored);
            return OS_HELPER_TIMED_OUT;
        }
        usleep(1000);
    }
}

void os_limit_self(int cpu_seconds, uint64_t address_bytes) {
    if (cpu_seconds > 0) {
        rlimit r{static_cast<rlim_t>(cpu_seconds), static_cast<rlim_t>(cpu_seconds) + 1};
        setrlimit(RLIMIT_CPU, &r);
    }
    if (address_bytes > 0) {
        rlimit r{static_cast<rlim_t>(address_bytes), static_cast<rlim_t>(address_bytes)};
        setrlimit(RLIMIT_AS, &r);
    }
}

bool os_can_run(const char *path) { return access(path, X_OK) == 0; }
