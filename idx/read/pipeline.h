// The overlapped read pipeline: reads every file of the table (or a disc's span) with NUM_SLOTS
// reads in flight, delivers the data in order to detection and extraction, and publishes progress.
#ifndef OLMAREST_IDX_READ_PIPELINE_H
#define OLMAREST_IDX_READ_PIPELINE_H

#include <atomic>
#include <cstdint>

#include "idx/engine.h"


constexpr uint32_t READ_SIZE = 32768; // bytes of every read but a file's last
constexpr int NUM_SLOTS = 8;          // reads in flight

extern std::atomic<uint64_t> total_bytes_read; // UI may read: bytes accounted so far
extern std::atomic<float> cur_throughput;      // UI may read: bytes per second
extern int cur_fn;                             // file number of the data being delivered
extern int cur_block;                          // its 32 KiB block number within the file
extern const char *cur_dir;                    // directory of the file last opened, or the loaded path

// Reads and delivers every file of the table. 0 when all data was delivered, -1 when cancelled
// or the run failed (a read error fails it with "read error on <path>"). Indexing thread only.
int read_files();
void sample_rate();   // the pass-rate filter behind cur_throughput
extern int passes_per_sec;

// For tests: sample_rate with the time t (seconds) given, and the filter back to its start state.
void sample_rate_at(double t);
void reset_rate_filter();

// For tests: the driver's bookkeeping between runs. After any run, cancelled ones included, every
// slot is free, nothing is pending or waiting, no file is open and issue_seq == deliver_seq.
struct ReadState {
    int busy_slots;       // slots holding a read
    int finished;         // entries of the reorder buffer
    int pending;          // reads issued and not completed
    int open_files;       // requests still open
    uint64_t issue_seq;   // sequence number the next read gets
    uint64_t deliver_seq; // sequence number delivered next
};
ReadState read_state();

#endif
