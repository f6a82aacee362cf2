#include "idx/run.h"

#include <cstdio>

std::atomic<bool> cancel_requested{false};
bool run_failed = false;

static char reason[4160]; // room for a reason that names a full path

const char *idx_reason() { return reason; }

void set_reason(const char *text) { snprintf(reason, sizeof reason, "%s", text); }

void clear_reason() { reason[0] = 0; }

void fail_run(const char *why) {
    if (!run_failed) set_reason(why);
    run_failed = true;
}
