// Assertions of the engine. A failed IDX_ASSERT reports
// "Assertion failed: <expr>, file <unit>, line <n>" through the report hook and ends the process;
// IDX_CHECK, for the few checks that input can reach, reports the same way and returns.
// Each .cpp that uses them defines `static const char UNIT[] = "idx/<unit>";`.
#ifndef OLMAREST_IDX_CHECK_H
#define OLMAREST_IDX_CHECK_H

// The unit names are the engine's designed source units, which today's files divide further; the
// line is that of the file that defines UNIT: idx/index (lifecycle.cpp, load.cpp, record.cpp,
// query.cpp, store/pool.cpp), idx/read (read/pipeline.cpp), idx/exthashtbl (store/exthashtbl.cpp),
// idx/extract (text/extract.cpp), idx/detect (text/detect.cpp). set_report_hook is in
// idx/engine.h.

[[noreturn]] void assert_failed(const char *expr, const char *unit, int line);
void check_failed(const char *expr, const char *unit, int line);

#define IDX_ASSERT(cond) ((cond) ? (void)0 : assert_failed(#cond, UNIT, __LINE__))
#define IDX_CHECK(cond) ((cond) ? (void)0 : check_failed(#cond, UNIT, __LINE__))

#endif
