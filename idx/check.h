// Assertions of the engine. A failed IDX_ASSERT reports
// "Assertion failed: <expr>, file <unit>, line <n>" through the report hook and ends the process;
// IDX_CHECK, for the few checks that input can reach, reports the same way and returns.
// Each .cpp that uses them defines `static const char UNIT[] = "idx/<unit>";`.
#ifndef OLMAREST_IDX_CHECK_H
#define OLMAREST_IDX_CHECK_H

// Receives every report text. Standard error by default; the GUI routes it to a message box.
using ReportHook = void (*)(const char *text);
void set_report_hook(ReportHook hook); // null restores standard error

[[noreturn]] void assert_failed(const char *expr, const char *unit, int line);
void check_failed(const char *expr, const char *unit, int line);

#define IDX_ASSERT(cond) ((cond) ? (void)0 : assert_failed(#cond, UNIT, __LINE__))
#define IDX_CHECK(cond) ((cond) ? (void)0 : check_failed(#cond, UNIT, __LINE__))

#endif
