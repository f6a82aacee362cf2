// Fakes the engine's tests share: a word sink that logs every word with where it was delivered,
// and a read back end of our own that logs reads and completes them when and in the order a test
// asks for.
#ifndef OLMAREST_TESTS_FAKES_H
#define OLMAREST_TESTS_FAKES_H

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "os/os.h"

// ---- Words as the tokenizers hand them on ----

struct Seen {
    std::string word;
    int fn;            // cur_fn when it arrived
    int block;         // cur_block
    uint64_t progress = 0; // total_bytes_read; not compared
    bool operator==(const Seen &o) const { return word == o.word && fn == o.fn && block == o.block; }
};
std::ostream &operator<<(std::ostream &o, const Seen &s);

extern std::vector<Seen> seen;
extern std::function<void(const Seen &)> on_word; // runs on the indexing thread, inside extraction
// A word sink that appends to seen and then calls on_word.
int log_word(char *word, int len);
// seen emptied, on_word gone.
void reset_seen();

// ---- A read back end that records, reorders, refuses and cancels ----

struct FakeRead {
    std::string file; // the name of the file read (its last path component)
    uint32_t len;
    uint64_t ofs;
};
struct FakeIo {
    std::vector<FakeRead> reads;
    std::vector<std::string> cancels;  // files whose reads were cancelled
    int refuse_at = -1;                // the read call to refuse, counted from 0
    bool newest_first = false;         // one completion per wait, the newest read first
    bool all_per_wait = false;         // every pending read completes at each wait, in issue order
    std::vector<std::string> vanish;   // files removed at the first read call
    int cancel_at_wait = 0;            // a cancel is requested at this wait (0: never)
    int read_calls = 0;
    int waits = 0;
};
extern FakeIo fake_io;
extern const OsIoBackend fake_backend;
// fake_io back to its defaults, nothing pending; installs fake_backend.
void use_fake_io();

#endif
