#include "idx/check.h"

#include "idx/engine.h"

#include <cstdio>
#include <cstdlib>

static void report_to_stderr(const char *text) {
    std::fputs(text, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

static ReportHook report_hook = report_to_stderr;

void set_report_hook(ReportHook hook) { report_hook = hook ? hook : report_to_stderr; }

void check_failed(const char *expr, const char *unit, int line) {
    char text[512];
    std::snprintf(text, sizeof text, "Assertion failed: %s, file %s, line %d", expr, unit, line);
    report_hook(text);
}

void assert_failed(const char *expr, const char *unit, int line) {
    check_failed(expr, unit, line);
    std::abort();
}
