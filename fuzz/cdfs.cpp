// Fuzz target: the ISO 9660 reader's listing over arbitrary volume bytes. The input is the volume
// from sector 16 on; the 32 KiB before it, which the reader never looks at, are zeros. The loaded
// area is exactly as long as the volume, so any read past it is one the sanitizers see.
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

static void list(const std::vector<uint8_t> &area, const char *subtree) {
    reset_pools();
    uint64_t lo = 0, hi = 0;
    int r =
        list_cd_files(area.data(), static_cast<uint32_t>(area.size()), area.size(), "cd", subtree, &lo, &hi);
    if (r != 0) {
        if (!file_table.empty() || !cd_fail_reason) __builtin_trap();
        return;
    }
    // What the read pipeline relies on: a non-empty table in disk order, inside the volume and the
    // span, with names that make whole paths.
    if (file_table.empty() || num_files.load() != static_cast<int>(file_table.size())) __builtin_trap();
    if (total_bytes.load() != hi - lo || lo > hi) __builtin_trap();
    for (size_t i = 0; i < file_table.size(); i++) {
        const FileEntry &e = file_table[i];
        if (i > 0 && file_table[i - 1].disk_ofs > e.disk_ofs) __builtin_trap();
        if (e.disk_ofs < lo || e.disk_ofs + e.file_size > hi || e.disk_ofs + e.file_size > area.size())
            __builtin_trap();
        if (!*e.file_name || strchr(e.file_name, '/') || strncmp(e.dir_name, "cd", 2) != 0) __builtin_trap();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool hushed = (set_report_hook(quiet), true); // "cd fs size > FS_BUF_SIZE" is expected
    (void)hushed;
    constexpr size_t SYSTEM_AREA = 16 * CD_SECTOR;
    size_t n = std::min<size_t>(size, FS_BUF_SIZE - SYSTEM_AREA);
    std::vector<uint8_t> area(SYSTEM_AREA + n);
    if (n) memcpy(area.data() + SYSTEM_AREA, data, n);
    list(area, "");
    list(area, "docs/sub");
    return 0;
}
