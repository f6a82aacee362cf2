// Fuzz target: the ISO 9660 reader's listing over arbitrary volume bytes. The input is the volume
// from sector 16 on; the 32 KiB before it, which the reader never looks at, are zeros. The loaded
// area is the whole volume, so any read past it is one the sanitizers see, or only its start, the
// rest read on demand.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "idx/check.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"

static void quiet(const char *) {}

// Reads past the loaded start from the whole volume, as the reader on a real volume does.
static long read_rest(void *ctx, uint8_t *buf, uint32_t n, uint64_t ofs) {
    const auto &volume = *static_cast<const std::vector<uint8_t> *>(ctx);
    if (ofs > volume.size()) return -1;
    size_t got = std::min<size_t>(n, volume.size() - ofs);
    if (got) memcpy(buf, volume.data() + ofs, got);
    return static_cast<long>(got);
}

// Lists the volume with its first `loaded` bytes loaded, the rest read on demand.
static void list(const std::vector<uint8_t> &area, size_t loaded, const char *subtree) {
    reset_pools();
    uint64_t lo = 0, hi = 0;
    CdMore more{read_rest, const_cast<std::vector<uint8_t> *>(&area)};
    int r = list_cd_files(area.data(), static_cast<uint32_t>(loaded), area.size(), "cd", subtree, &lo, &hi,
                          loaded < area.size() ? &more : nullptr);
    if (r != 0) {
        if (!file_table.empty() || !cd_fail_reason) __builtin_trap();
        return;
    }
    // What the read pipeline relies on: a non-empty table in disk order, a span inside the volume
    // that holds every file's data the volume has, and names that make whole paths.
    uint64_t vol_end = (area.size() + CD_SECTOR - 1) / CD_SECTOR * CD_SECTOR;
    if (file_table.empty() || num_files.load() != static_cast<int>(file_table.size())) __builtin_trap();
    if (total_bytes.load() != hi - lo || lo > hi || hi > vol_end) __builtin_trap();
    for (size_t i = 0; i < file_table.size(); i++) {
        const FileEntry &e = file_table[i];
        if (i > 0 && file_table[i - 1].disk_ofs > e.disk_ofs) __builtin_trap();
        if (std::min<uint64_t>(e.disk_ofs, vol_end) < lo || std::min<uint64_t>(e.disk_ofs + e.file_size, vol_end) > hi)
            __builtin_trap();
        if (!*e.file_name || strchr(e.file_name, '/') || strncmp(e.dir_name, "cd", 2) != 0) __builtin_trap();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool hushed = (set_report_hook(quiet), true); // no report is expected; none is shown
    (void)hushed;
    constexpr size_t SYSTEM_AREA = 16 * CD_SECTOR;
    size_t n = std::min<size_t>(size, FS_BUF_SIZE - SYSTEM_AREA);
    std::vector<uint8_t> area(SYSTEM_AREA + n);
    if (n) memcpy(area.data() + SYSTEM_AREA, data, n);
    list(area, area.size(), "");
    list(area, area.size(), "docs/sub");
    // Only the descriptors loaded: every directory is read when it is listed.
    list(area, std::min(area.size(), size_t{18} * CD_SECTOR), "");
    return 0;
}
