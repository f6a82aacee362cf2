// ISO 9660 images for tests: real ones made by xorriso from a directory while the tests run, and
// small hand-built ones whose every record is chosen, for the cases no tool writes (associated
// files, several extents, damaged records, directories far out on the volume).
#ifndef OLMAREST_TESTS_ISO_IMAGE_H
#define OLMAREST_TESTS_ISO_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

// Runs "xorriso -as mkisofs <opts> -o out src" quietly; false when it failed.
bool make_iso(const std::string &src, const std::string &out, const std::string &opts);

struct IsoRec {
    std::string id;    // identifier bytes as recorded ("\0" and "\1" are "." and "..")
    uint32_t lba;      // extent location, sectors
    uint32_t size;     // data length, bytes
    uint8_t flags = 0; // 2 directory, 4 associated, 1 hidden, 0x80 more extents follow
    std::string su{};  // system use bytes after the identifier (and its pad byte)
};

// The bytes of one directory record.
std::string iso_record(const IsoRec &r);
// name as a Joliet identifier (UCS-2 big-endian) from 8-bit characters.
std::string ucs2(const std::string &name);

class IsoImage {
  public:
    explicit IsoImage(uint32_t sectors) : bytes(size_t{sectors} * 2048, '\0') {}
    // The primary descriptor in sector 16 (and a terminator in 18 unless joliet() replaces 17).
    void pvd(uint32_t root_lba, uint32_t root_size, uint16_t block_size = 2048);
    // A Joliet supplementary descriptor in sector 17.
    void joliet(uint32_t root_lba, uint32_t root_size);
    // A directory at lba: "." and ".." (pointing at parent_lba), then recs, packed into sectors
    // as ECMA-119 wants (no record crosses a sector). Its size, 2048 per sector, is `size`.
    void dir(uint32_t lba, uint32_t size, uint32_t parent_lba, const std::vector<IsoRec> &recs);
    void data(uint32_t lba, const std::string &d);
    void save(const std::string &path) const;

    std::string bytes;
};

#endif
