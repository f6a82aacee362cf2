#include "idx/run.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

std::atomic<bool> cancel_requested{false};
bool run_failed = false;
std::atomic<bool> record_full{false};

static char reason[4160]; // room for a reason that names a full path

const char *idx_reason() { return reason; }

void set_reason(const char *text) { snprintf(reason, sizeof reason, "%s", text); }

void clear_reason() { reason[0] = 0; }

void fail_run(const char *why) {
    if (!run_failed) set_reason(why);
    run_failed = true;
}

int engine_threads = 0;

int threads_wanted() {
    if (engine_threads > 0) return engine_threads;
    const char *env = getenv("OLMAREST_THREADS");
    int n = env && *env ? atoi(env) : static_cast<int>(std::thread::hardware_concurrency());
    return n > 0 ? n : 1;
}
