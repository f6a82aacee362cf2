// CD mode's reading of a disc or an image: the blocks of the volume's span, read in disk order by
// the read pipeline, handed to the files they belong to (records that share an extent each get
// its data), and a file's block read again for an excerpt.
#include <algorithm>
#include <map>
#include <cstring>
#include <string>
#include <vector>

#include "idx/check.h"
#include "idx/read/cdfs.h"
#include "idx/read/decode.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "idx/store/pool.h"
#include "idx/text/detect.h"
#include "idx/text/encoding.h"
#include "idx/text/extract.h"
#include "idx/run.h"
#include "os/os.h"


// ---- Reading the volume ----

constexpr int64_t SEEK_AHEAD = 1048576;   // gaps this long between files are not read
constexpr size_t SHARED_COPY_MAX = 8 << 20; // bytes of an extent kept for the records sharing it

// The data of an extent that the next entry shares with the one being delivered (hard links are
// directory records pointing at one extent): kept as delivered, so that each of them gets its
// words from one read of the volume. Indexing thread only.
struct SharedCopy {
    uint64_t ofs = ~uint64_t{0}; // volume offset of the extent kept; none when all ones
    std::vector<char> bytes;     // its data from the first byte on, without a gap
};
static SharedCopy shared;
static int started_fn = -1; // the entry whose data has begun to be delivered last

void cd_split_reset() {
    shared = SharedCopy{};
    started_fn = -1;
}

// Whether the entry after fn starts where fn does and has data: it will want fn's data again.
static bool next_shares(int fn) {
    auto i = static_cast<size_t>(fn) + 1;
    return i < file_table.size() && file_table[i].disk_ofs == file_table[static_cast<size_t>(fn)].disk_ofs &&
           file_table[i].file_size > 0;
}

// Keeps n bytes of entry fn's data, `at` bytes into it, for the entries that share its extent.
static void keep_shared(int fn, uint64_t at, const char *p, uint64_t n) {
    const FileEntry &e = file_table[static_cast<size_t>(fn)];
    if (!next_shares(fn)) return;
    if (at == 0 && shared.ofs != e.disk_ofs) {
        shared.ofs = e.disk_ofs;
        shared.bytes.clear();
    }
    if (shared.ofs != e.disk_ofs || shared.bytes.size() != at) return; // a gap: it cannot serve
    if (at + n > SHARED_COPY_MAX) {
        // Too long to keep: the entries sharing it read it again from the volume.
        shared = SharedCopy{};
        return;
    }
    shared.bytes.insert(shared.bytes.end(), p, p + n);
}

// Hands one piece of entry e's data, `at` bytes into it, to detection and extraction. False when
// the file ends with it: not worth extracting, or its last piece.
static bool deliver_piece(FileEntry &e, uint64_t at, const char *p, uint64_t n) {
    cur_block = static_cast<int>(at / READ_SIZE);
    if (e.kind == KIND_UNKNOWN) e.kind = detect_type(p, static_cast<int>(n));
    if (e.kind <= 0) return false;
    content_words(p, static_cast<int>(n), e.kind);
    return at + n < e.file_size;
}

// The first n bytes of entry cur_fn's data, which the volume's stream has already passed (its
// extent is shared with, or lies inside, an entry before it), delivered in 32 KiB pieces of the
// file: from the kept copy when it holds them, else read again from the volume. True when the
// file goes on in the stream after them; false when it has ended (moved past).
static bool deliver_head(uint64_t n) {
    FileEntry &e = file_table[static_cast<size_t>(cur_fn)];
    bool kept = shared.ofs == e.disk_ofs && shared.bytes.size() >= n;
    int fd = -1;
    std::vector<char> buf;
    if (!kept) {
        uint64_t size = 0;
        fd = cd_volume.device ? os_open_volume(cd_volume.device, OS_RANDOM, &size) : -1;
        buf.resize(READ_SIZE);
    }
    int error = !kept && fd < 0 ? os_last_error() : 0;
    bool goes_on = true;
    for (uint64_t at = 0; at < n && goes_on && error == 0;) {
        auto len = static_cast<uint32_t>(std::min<uint64_t>(n - at, READ_SIZE));
        const char *p = kept ? shared.bytes.data() + at : buf.data();
        if (!kept) {
            // A long extent read again may take a while: a cancel stops it, ending the file here.
            if (cancel_requested.load(std::memory_order_relaxed)) break;
            long got = os_read_at(fd, buf.data(), len, e.disk_ofs + at);
            if (got != static_cast<long>(len)) {
                error = got < 0 && os_last_error() != 0 ? os_last_error() : OS_ERR_IO;
                break;
            }
        }
        if (!kept) keep_shared(cur_fn, at, p, len);
        goes_on = deliver_piece(e, at, p, len);
        at += len;
    }
    os_close(fd);
    if (error != 0) note_unread(cur_fn, error);
    if (goes_on && error == 0 && n < e.file_size && !cancel_requested.load(std::memory_order_relaxed))
        return true;
    if (e.kind > 0) content_end_file();
    cur_fn++;
    return false;
}

void split_cd_block(const char *data, uint32_t n, uint64_t pos, uint64_t *next_ofs, uint64_t end_ofs) {
    int64_t off = 0;
    const auto count = static_cast<int>(file_table.size());
    while (cur_fn < count) {
        FileEntry &e = file_table[static_cast<size_t>(cur_fn)];
        cur_block = 0;
        cur_dir = e.dir_name;
        int64_t d = static_cast<int64_t>(e.disk_ofs) - static_cast<int64_t>(pos + static_cast<uint64_t>(off));
        if (cur_fn != started_fn) {
            started_fn = cur_fn;
            // Its data began before the stream's position: records sharing an extent (or
            // overlapping ones). Each gets the data the stream has passed, then the rest.
            if (d < 0 && e.file_size > 0 && !deliver_head(std::min<uint64_t>(static_cast<uint64_t>(-d), e.file_size)))
                continue;
        }
        int64_t remaining = e.file_size;
        if (d < 0) {
            // The file began in an earlier block (or overlaps the one before it).
            remaining = std::max<int64_t>(remaining + d, 0);
            cur_block = static_cast<int>(-d / READ_SIZE);
        } else {
            off += d;
            if (*next_ofs < end_ofs && static_cast<int64_t>(e.disk_ofs - *next_ofs) >= SEEK_AHEAD)
                *next_ofs = e.disk_ofs / READ_SIZE * READ_SIZE;
        }
        int64_t room = static_cast<int64_t>(n) - off;
        if (room <= 0) break;
        int64_t chunk = std::min(remaining, room);
        bool ends = remaining <= room;
        const char *p = data + off;
        if (e.kind == KIND_UNKNOWN) e.kind = detect_type(p, static_cast<int>(chunk));
        if (e.kind > 0) {
            content_words(p, static_cast<int>(chunk), e.kind);
            if (ends) content_end_file(); // no word runs on into the next file
        } else {
            ends = true; // not worth extracting: the rest of its data is passed over
        }
        keep_shared(cur_fn, d < 0 ? static_cast<uint64_t>(-d) : 0, p, static_cast<uint64_t>(chunk));
        if (ends) cur_fn++;
        off += chunk;
    }
}

// Blocks read ahead for excerpts, by (file number, block): their bytes and how many were read.
struct AheadBlock {
    std::vector<char> data;
    long got = -1;
};
static std::map<std::pair<unsigned, unsigned>, AheadBlock> ahead;

static void ahead_done(void *user, long bytes) {
    auto *b = static_cast<AheadBlock *>(user);
    b->got = os_io_error() ? -1 : bytes;
}

void read_cd_blocks_ahead(std::vector<std::pair<unsigned, unsigned>> blocks) {
    ahead.clear();
    if (blocks.empty() || !cd_volume.device) return;
    auto ofs_of = [](const std::pair<unsigned, unsigned> &b) {
        return file_table[b.first].disk_ofs + uint64_t{b.second} * READ_SIZE;
    };
    std::sort(blocks.begin(), blocks.end(), [&](const auto &a, const auto &b) {
        return ofs_of(a) != ofs_of(b) ? ofs_of(a) < ofs_of(b) : a < b;
    });
    blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
    uint64_t size = 0;
    int fd = os_open_volume(cd_volume.device, OS_RANDOM, &size);
    if (fd < 0) return;
    int in_flight = 0;
    for (const auto &b : blocks) {
        const FileEntry &e = file_table[b.first];
        uint64_t at = uint64_t{b.second} * READ_SIZE;
        if (at >= e.file_size) continue;
        while (in_flight == CD_AHEAD_READS) {
            int done = os_wait_io();
            if (done == 0) break;
            in_flight -= done;
        }
        AheadBlock &slot = ahead[b];
        slot.data.assign(READ_SIZE, 0);
        auto want = static_cast<uint32_t>(std::min<uint64_t>(e.file_size - at, READ_SIZE));
        if (os_read_async(fd, slot.data.data(), want, e.disk_ofs + at, &slot, ahead_done) == 0) in_flight++;
    }
    while (in_flight > 0) {
        int done = os_wait_io();
        if (done == 0) break;
        in_flight -= done;
    }
    os_close(fd);
}

int read_cd_block(unsigned file_num, unsigned block, char *buf) {
    const FileEntry &e = file_table[file_num];
    uint64_t at = uint64_t{block} * READ_SIZE;
    if (!cd_volume.device || at >= e.file_size) return -1;
    if (auto it = ahead.find({file_num, block}); it != ahead.end() && it->second.got > 0) {
        memcpy(buf, it->second.data.data(), READ_SIZE);
        return static_cast<int>(it->second.got);
    }
    uint64_t size = 0;
    int fd = os_open_volume(cd_volume.device, OS_RANDOM, &size);
    if (fd < 0) return -1;
    memset(buf, 0, READ_SIZE);
    auto want = static_cast<uint32_t>(std::min<uint64_t>(e.file_size - at, READ_SIZE));
    long n = os_read_at(fd, buf, want, e.disk_ofs + at);
    os_close(fd);
    return n > 0 ? static_cast<int>(n) : -1;
}
