// The control of the current indexing run that the units under the lifecycle consult: the cancel
// request and the run's failure with its reason. The lifecycle (idx/index) clears them when a run
// starts; the read driver polls both once per pass; word recording fails the run when the index
// file is full.
#ifndef OLMAREST_IDX_RUN_H
#define OLMAREST_IDX_RUN_H

#include <atomic>

// Reasons more than one unit gives.
inline constexpr char REASON_NAMES_FULL[] = "too many file names for memory (8 MiB)";
inline constexpr char REASON_IN_USE[] = "idx.dat is in use by another program";
inline constexpr char REASON_CANCELLED_KEPT[] = "indexing was cancelled; the previous index is kept";
inline constexpr char REASON_CANCELLED_PARTIAL[] =
    "indexing was cancelled; there was no index before, so it holds the files read up to then";

extern std::atomic<bool> cancel_requested; // set by cancel_idx (UI thread), polled once per read pass

// Why the last create_idx, run or read_idx failed ("" when it did not). UI may read after the run.
const char *idx_reason();
void set_reason(const char *text); // replaces the reason, cut to its buffer
void clear_reason();

// Ends the current run as failed: recording stops and the read driver leaves at its next pass.
// The header is not finished, so the file never loads as an index. Indexing thread only. The first
// reason given stays.
void fail_run(const char *reason);
extern bool run_failed; // indexing thread (the UI thread only before the run starts)

// Set by the recording thread of a run of two threads (idx/index) when the index file is full:
// the read driver leaves at its next pass as after fail_run, and the run ends failed once every
// word found before has been filed.
extern std::atomic<bool> record_full;

// Threads a run or a load may use: 1 keeps all work on the calling thread (words recorded where
// they are found, directories listed one by one). 0, the default, takes OLMAREST_THREADS from the
// environment, else the number of cores.
extern int engine_threads;
int threads_wanted();

#endif
