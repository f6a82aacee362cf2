#include "front/report.h"

#include <algorithm>
#include <cstdio>

#include "front/display.h"
#include "idx/engine.h"
#include "os/os.h"

static constexpr double MB = 1048576.0;

int wait_run_end(int tick_ms, const std::function<void()> &tick) {
    int status;
    while ((status = status_idx()) == IDX_ACTIVE) {
        tick();
        os_sleep_ms(tick_ms);
    }
    return status;
}

template <typename... Args> static std::string format(const char *fmt, Args... args) {
    char buf[256];
    snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string time_left(uint64_t done, uint64_t total, double rate) {
    if (total == 0 || done > total || done * 100 < total * 3 || !(rate > 0)) return "";
    double secs = static_cast<double>(total - done) / rate;
    if (secs > 359999) return ""; // a rate this low says nothing yet
    auto s = static_cast<int>(secs + 0.5);
    return s >= 3600 ? format("%d:%02d:%02d left", s / 3600, s / 60 % 60, s % 60) : format("%d:%02d left", s / 60, s % 60);
}

std::vector<std::string> complete_report(double elapsed, float max_throughput) {
    Progress p = progress();
    int s = static_cast<int>(elapsed);
    double average = elapsed > 0 ? static_cast<double>(p.bytes_read) / elapsed : 0.0;
    // A run shorter than one sampling interval has no sample; its average is its best rate.
    double maximum = std::max(static_cast<double>(max_throughput), average);
    auto low32 = [](uint64_t v) { return static_cast<int>(static_cast<uint32_t>(v)); };
    std::vector<std::string> lines{
        "Index complete ! :-)",
        "----------------------------------------------",
        "Statistics:",
        format("  Time for Scan: %d:%02d", s / 60, s % 60),
        format("  total files: %d ", p.files),
        format("  average throughput: %.2f MB/s", average / MB),
        format("  maximum throughput: %.2f MB/s", maximum / MB),
        format(" unique words: %d; text processed: %d; total words: %d ", low32(p.unique_words),
               low32(p.text_processed), low32(p.total_words)),
    };
    if (table_capped()) lines.push_back(format("Note: only the first %d files of the folder were indexed.", MAX_FILES));
    return lines;
}

std::vector<std::string> unread_report() {
    std::vector<std::string> lines;
    if (unread_count == 0) return lines;
    bool folders = false;
    for (const UnreadFile &u : unread_files) folders |= u.folder;
    if (folders)
        lines.push_back(format("Note: %d files or folders could not be read:", unread_count));
    else
        lines.push_back(format("Note: %d file%s could not be read:", unread_count, unread_count == 1 ? "" : "s"));
    for (const UnreadFile &u : unread_files)
        lines.push_back("  " + escaped_name(u.path) + (u.folder ? "/" : "") + ": " + os_error_text(u.error) +
                        (u.folder ? " (none of its files is indexed)" : ""));
    if (unread_count > static_cast<int>(unread_files.size()))
        lines.push_back(format("  and %d more", unread_count - static_cast<int>(unread_files.size())));
    return lines;
}
