// The end of a run as both front ends show it: waiting for the indexing thread, the statistics
// block of a completed run and the note on files that could not be read.
#ifndef OLMAREST_FRONT_REPORT_H
#define OLMAREST_FRONT_REPORT_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Calls tick every tick_ms milliseconds while a run is active, then answers its final status
// (IDX_DONE or IDX_NONE). tick may call cancel_idx.
int wait_run_end(int tick_ms, const std::function<void()> &tick);

// The time a run still needs, from the bytes left and the recent throughput (bytes per second), as
// "m:ss left"; "" until 3 % of the bytes are read or while there is no rate to go by.
std::string time_left(uint64_t done, uint64_t total, double rate);

// The statistics of the run that just completed, one string a line: elapsed seconds since it
// started, and the highest throughput seen while it ran (bytes per second). The maximum shown is
// never below the average.
std::vector<std::string> complete_report(double elapsed, float max_throughput);

// What the last run left out (files it could not read, folders it could not list, paths too long):
// how many, the first few by name (escaped) with the reason; no line when nothing was left out.
std::vector<std::string> unread_report();

#endif
