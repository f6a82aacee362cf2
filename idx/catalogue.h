// The catalogue "idx.files" beside idx.dat: the file table a run indexed (names, sizes, times, disc
// offsets, content kinds), the directories with their times and the volume's identity, so that a
// load needs neither the tree nor a walk of it. Its bytes are described in doc/catalogue-format.md.
// It is tied to its idx.dat by the index file's size, base and fingerprint: a pair that does not
// belong together is never used.
#ifndef OLMAREST_IDX_CATALOGUE_H
#define OLMAREST_IDX_CATALOGUE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "idx/engine.h"
#include "idx/store/pool.h"

constexpr char CAT_MAGIC[8] = {'O', 'L', 'M', 'C', 'A', 'T', '1', '\n'};
constexpr uint32_t CAT_VERSION = 1;
constexpr uint32_t CAT_HEADER_SIZE = 64, CAT_DIR_SIZE = 16, CAT_FILE_SIZE = 36;

// What ties a catalogue to its idx.dat.
struct CatalogueTie {
    uint32_t idx_size;
    uint32_t base;
    uint32_t fingerprint;
    bool operator==(const CatalogueTie &o) const = default;
};

// The volume's identity as the catalogue keeps it: key=value pairs (see the format's description).
struct CatalogueVolume {
    VolumeKind kind = VolumeKind::folder;
    std::string path;      // the indexed path as the run was given it
    std::string root;      // what every stored directory path is relative to
    std::string device;    // disc: its device; image: the image file
    std::string subtree;   // disc or image: the indexed path below the volume's root
    std::string volume_id; // disc or image: the primary volume descriptor's fields
    std::string created;
    uint32_t blocks = 0;
    uint64_t image_size = 0; // image: the file's size and time when it was indexed
    int64_t image_mtime = 0;
    uint32_t image_mtime_nsec = 0;
    std::string uuid;  // folder: its file system's UUID ("" when it has none)
    std::string below; // folder: its path below that file system's mount point
    int64_t made = 0;  // when the run ended, seconds since 1970
};

// A catalogue read and checked, its strings still in the bytes it was read from.
struct CatalogueView {
    CatalogueTie tie;
    CatalogueVolume volume;
    uint64_t total_bytes;
    std::vector<const char *> dirs; // relative (or, starting with '/', absolute) directory paths
    std::vector<int64_t> dir_sec;
    std::vector<uint32_t> dir_nsec;
    struct File {
        uint32_t dir;
        const char *name;
        uint64_t size;
        int64_t mtime_sec;
        uint32_t mtime_nsec;
        uint64_t disk_ofs;
        int32_t kind;
    };
    uint32_t file_count = 0;
    // File i (below file_count), read from its record; every record was checked by the decoder.
    File file(uint32_t i) const;

    const uint8_t *file_records = nullptr;
    const char *names = nullptr;
};

// The catalogue of the current file table (with dir_times) for volume, tied to tie; "" when the
// table cannot be put into one (a disc offset off the 2,048-byte grid).
std::string encode_catalogue(const CatalogueTie &tie, const CatalogueVolume &volume);
// Checks bytes (n of them) as a catalogue: every size, offset and string inside them, the checksum,
// at most MAX_FILES files. Fills view; false with the reason in *why.
bool decode_catalogue(const uint8_t *bytes, size_t n, CatalogueView *view, std::string *why);

// The volume of the run's path as the catalogue keeps it (kind, identity, where it lies).
CatalogueVolume describe_volume(const char *path);

// A run's catalogue: written beside idx.dat under a name of its own before idx.dat is put in place,
// then renamed to idx.files after it. 0, or -1 with the reason in *why. drop_run_catalogue removes
// a written one that is not to be used.
int write_run_catalogue(const CatalogueTie &tie, const CatalogueVolume &volume, std::string *why);
int put_run_catalogue(std::string *why);
void drop_run_catalogue();

#endif
