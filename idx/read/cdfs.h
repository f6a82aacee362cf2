// The ISO 9660 volume reader: lists a disc's or an image's files from its directory records and
// delivers the data of its span, read in disk order, to the files it belongs to.
#ifndef OLMAREST_IDX_READ_CDFS_H
#define OLMAREST_IDX_READ_CDFS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct OsVolume;


constexpr uint32_t FS_BUF_SIZE = 4194304; // bytes loaded from the start of a volume: its directories
constexpr uint32_t CD_SECTOR = 2048;      // logical block of every volume we read

// The raw volume a CD table came from: its descriptor while a run may read it (-1 otherwise), the
// device path excerpts open it by, and the span of it that holds the table's files, bytes.
struct CdVolume {
    int fd;
    const char *device; // heap_pool; null until a volume was read
    uint64_t span_start, span_end;
};
extern CdVolume cd_volume;
void close_cd_volume(); // closes the descriptor, keeps the device path for excerpts

// Fills the file table from the ISO 9660 structures of the CD volume that holds path, sorted by
// position on the volume, and sets cd_volume with the volume left open. 0 when the table holds a
// file, 1 when the subtree holds none, -1 when the volume cannot be opened, read or understood.
// Any nonzero result leaves the table empty and the reason in cd_fail_reason.
int read_cd_fs(const char *path);
int read_cd_volume(const OsVolume &vol);
extern const char *cd_fail_reason;

// What tells one disc from another: the primary volume descriptor's volume identifier (trailing
// blanks cut), creation date ("YYYYMMDDHHMMSScc") and volume space size in blocks.
struct CdIdentity {
    std::string volume_id;
    std::string created;
    uint32_t blocks = 0;
    bool operator==(const CdIdentity &o) const = default;
};
extern CdIdentity cd_identity; // of the volume last listed
// The identity from a volume's first 17 sectors (area, loaded bytes); false when it holds no
// primary volume descriptor.
bool parse_cd_identity(const uint8_t *area, uint64_t loaded, CdIdentity *id);
// Opens a volume (an image file or a device) and reads its identity; false when it cannot.
bool read_cd_identity(const char *device, CdIdentity *id);

// Reads n bytes at volume offset ofs into buf for the listing: the bytes read, or -1.
struct CdMore {
    long (*read)(void *ctx, uint8_t *buf, uint32_t n, uint64_t ofs);
    void *ctx;
};

// The listing step of read_cd_fs over `loaded` bytes from the start of a volume of volume_size
// bytes (0: unknown). Directories and Rock Ridge continuation areas past the loaded start are read
// through `more` (within volume_size); without it, a directory there fails the listing. Reads
// nothing else outside [area, area + loaded). Files of the subtree (components joined by '/') get
// dir_name paths built on root, which the caller keeps alive. Fills the table and *span_start,
// *span_end; results as read_cd_fs.
int list_cd_files(const uint8_t *area, uint32_t loaded, uint64_t volume_size, const char *root,
                  const char *subtree, uint64_t *span_start, uint64_t *span_end, const CdMore *more = nullptr);

// CD mode's delivery of one read of the volume span: n bytes of data read at volume offset pos.
// Hands each entry's part of them, from entry cur_fn on, to detection and extraction with cur_fn,
// cur_block and cur_dir set, and moves cur_fn past every entry whose data ends in them. When the
// next entry starts 1 MiB or more past *next_ofs (the next read to issue), moves *next_ofs up to
// it (rounded down to READ_SIZE), unless next_ofs is at or past end_ofs. Indexing thread only.
// An entry whose extent begins before the stream's position (records sharing an extent, as hard
// links are written, or overlapping ones) first gets the data the stream has passed: from a copy
// kept while the entry before it was delivered, or read again from the volume.
void split_cd_block(const char *data, uint32_t n, uint64_t pos, uint64_t *next_ofs, uint64_t end_ofs);
void cd_split_reset(); // before a run's first split_cd_block
// read_block for a table from the CD reader: READ_SIZE bytes of the file's data at block * READ_SIZE,
// read from the volume, never past the file's end.
int read_cd_block(unsigned file_num, unsigned block, char *buf);
// Reads the blocks (file number, block) of the table's files in disc order, in one forward sweep
// with CD_AHEAD_READS asynchronous reads in flight, and keeps them for read_cd_block until the
// next call (an empty list forgets them). UI thread, between runs.
constexpr int CD_AHEAD_READS = 8;
void read_cd_blocks_ahead(std::vector<std::pair<unsigned, unsigned>> blocks);

#endif
