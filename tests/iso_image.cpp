#include "tests/iso_image.h"

#include <cstdlib>
#include <cstring>
#include <fstream>

bool make_iso(const std::string &src, const std::string &out, const std::string &opts) {
    std::string cmd = "xorriso -as mkisofs " + opts + " -o '" + out + "' '" + src + "' >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

static void put32(std::string &s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));     // little-endian half
        s[at + 7 - static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i)); // big-endian half
    }
}

std::string iso_record(const IsoRec &r) {
    size_t id_len = r.id.size();
    size_t len = 33 + id_len + (id_len % 2 == 0 ? 1 : 0) + r.su.size();
    std::string s(len, '\0');
    s[0] = static_cast<char>(len);
    put32(s, 2, r.lba);
    put32(s, 10, r.size);
    s[25] = static_cast<char>(r.flags);
    s[28] = 1; // volume sequence number
    s[32] = static_cast<char>(id_len);
    memcpy(&s[33], r.id.data(), id_len);
    memcpy(&s[len - r.su.size()], r.su.data(), r.su.size());
    return s;
}

std::string ucs2(const std::string &name) {
    std::string s;
    for (char c : name) {
        s += '\0';
        s += c;
    }
    return s;
}

static void descriptor(std::string &b, uint32_t sector, uint8_t type, uint32_t root_lba, uint32_t root_size,
                       uint16_t block_size) {
    size_t at = size_t{sector} * 2048;
    b[at] = static_cast<char>(type);
    memcpy(&b[at + 1], "CD001", 5);
    b[at + 6] = 1;
    b[at + 128] = static_cast<char>(block_size);
    b[at + 129] = static_cast<char>(block_size >> 8);
    b[at + 130] = static_cast<char>(block_size >> 8);
    b[at + 131] = static_cast<char>(block_size);
    std::string root = iso_record({std::string(1, '\0'), root_lba, root_size, 2});
    memcpy(&b[at + 156], root.data(), root.size());
}

void IsoImage::pvd(uint32_t root_lba, uint32_t root_size, uint16_t block_size) {
    descriptor(bytes, 16, 1, root_lba, root_size, block_size);
    size_t t = 18 * 2048;
    bytes[t] = static_cast<char>(255);
    memcpy(&bytes[t + 1], "CD001", 5);
}

void IsoImage::joliet(uint32_t root_lba, uint32_t root_size) {
    descriptor(bytes, 17, 2, root_lba, root_size, 2048);
    memcpy(&bytes[17 * 2048 + 88], "%/E", 3);
}

void IsoImage::dir(uint32_t lba, uint32_t size, uint32_t parent_lba, const std::vector<IsoRec> &recs) {
    std::vector<IsoRec> all{{std::string(1, '\0'), lba, size, 2},
                            {std::string(1, '\1'), parent_lba, 2048, 2}};
    all.insert(all.end(), recs.begin(), recs.end());
    size_t at = size_t{lba} * 2048;
    for (const IsoRec &r : all) {
        std::string rec = iso_record(r);
        if (at % 2048 + rec.size() > 2048) at = (at / 2048 + 1) * 2048;
        memcpy(&bytes[at], rec.data(), rec.size());
        at += rec.size();
    }
}

void IsoImage::data(uint32_t lba, const std::string &d) {
    memcpy(&bytes[size_t{lba} * 2048], d.data(), d.size());
}

void IsoImage::save(const std::string &path) const {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
