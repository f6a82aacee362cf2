// The read floor of a tree: every file of the walk read once, in table order, with the indexer's
// own pattern (32 KiB reads, 8 in flight, O_DIRECT, the same asynchronous back end) and nothing
// done with the data. Prints "seconds MB/s bytes" of the reading (the walk not counted).
// Usage: read_floor TREE
#include <cstdio>
#include <cstring>

#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "os/os.h"

namespace {

struct Slot {
    char *data;
    int file; // index into the open files, -1 when free
};
Slot slots[NUM_SLOTS];
int fds[NUM_SLOTS + 1];
int refs[NUM_SLOTS + 1];
uint64_t bytes = 0;
int pending = 0;
int cur = -1; // the open file reads are issued from; it stays open while it is

void done(void *user, long n) {
    auto *s = static_cast<Slot *>(user);
    bytes += static_cast<uint64_t>(n > 0 ? n : 0);
    pending--;
    if (--refs[s->file] == 0 && s->file != cur) {
        os_close(fds[s->file]);
        fds[s->file] = -1;
    }
    s->file = -1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: read_floor TREE\n");
        return 2;
    }
    if (enum_files(argv[1]) != 0) {
        fprintf(stderr, "no files below %s\n", argv[1]);
        return 1;
    }
    auto *mem = static_cast<char *>(os_reserve(size_t{NUM_SLOTS} * READ_SIZE));
    for (int i = 0; i < NUM_SLOTS; i++) slots[i] = Slot{mem + size_t{READ_SIZE} * i, -1};
    for (int &fd : fds) fd = -1;
    double t0 = get_seconds();
    size_t fn = 0;
    uint64_t ofs = 0, end = 0;
    for (;;) {
        for (Slot &s : slots) {
            if (s.file >= 0) continue;
            while (cur < 0 || ofs >= end) {
                if (cur >= 0 && refs[cur] == 0) {
                    os_close(fds[cur]);
                    fds[cur] = -1;
                }
                cur = -1;
                if (fn >= file_table.size()) break;
                const FileEntry &e = file_table[fn++];
                if (e.file_size == 0) continue;
                char path[OS_PATH_MAX];
                snprintf(path, sizeof path, "%s/%s", e.dir_name, e.file_name);
                int fd = os_open(path, OS_DIRECT | OS_SEQUENTIAL);
                if (fd < 0) continue;
                for (int k = 0; k <= NUM_SLOTS; k++)
                    if (fds[k] < 0 && refs[k] == 0) {
                        cur = k;
                        break;
                    }
                fds[cur] = fd;
                ofs = 0;
                end = (uint64_t{e.file_size} + 4095) / 4096 * 4096;
            }
            if (cur < 0) break;
            auto len = static_cast<uint32_t>(end - ofs < READ_SIZE ? end - ofs : READ_SIZE);
            s.file = cur;
            refs[cur]++;
            if (os_read_async(fds[cur], s.data, len, ofs, &s, done) == 0) {
                pending++;
            } else {
                refs[cur]--;
                s.file = -1;
            }
            ofs += len;
        }
        if (pending == 0) break;
        os_wait_io();
    }
    double t = get_seconds() - t0;
    printf("%.3f %.1f %llu\n", t, static_cast<double>(bytes) / 1048576 / t, static_cast<unsigned long long>(bytes));
    return 0;
}
