#include "fuzz/fuzz_util.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "os/os.h"

namespace fs = std::filesystem;

static std::string scratch;

static void remove_scratch() {
    std::error_code ec;
    if (!scratch.empty()) fs::remove_all(scratch, ec);
}

const std::string &fuzz_scratch() {
    if (scratch.empty()) {
        // Memory-backed when there is one: a target writes files at every input.
        fs::path base = getenv("TMPDIR") || access("/dev/shm", W_OK) != 0 ? fs::temp_directory_path() : "/dev/shm";
        std::string tmpl = (base / "olmarest-fuzz-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) __builtin_trap();
        scratch = tmpl;
        atexit(remove_scratch);
    }
    return scratch;
}

void fuzz_write(const std::string &path, const std::string &data) {
    if (fs::path(path).has_parent_path()) fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out << data;
    if (!out.flush()) __builtin_trap();
}

std::string read_file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int fuzz_chdir(const char *dir) { return chdir(dir); }

std::string fuzz_cwd() { return fs::current_path().string(); }

const char *const FUZZ_TREE_WORDS[] = {"lighthouse", "harbour",  "keeper", "storm",    "needle",
                                       "straddle",   "müller",   "über",   "straße",   "größe",
                                       "bücher",     "songs",    "lights", "examples", "seagull",
                                       "tidewater",  "shipmast", "beacon", "weather",  "pilot"};
const int FUZZ_TREE_NWORDS = sizeof FUZZ_TREE_WORDS / sizeof FUZZ_TREE_WORDS[0];

// Made-up words from syllables: enough distinct stems to split word-table nodes and double the
// directory a few times.
static std::string syllable_text(int words, unsigned seed) {
    static const char *const SYL[] = {"har", "bour", "light", "house", "kee", "per", "storm", "sea",
                                      "gull", "rock", "wave", "tide", "ship", "sail", "mast", "deck"};
    FuzzRand r{seed};
    std::string s;
    for (int i = 0; i < words; i++) {
        int n = 2 + static_cast<int>(r.next() % 2);
        for (int k = 0; k < n; k++) s += SYL[r.next() % 8];
        s += (i % 12 == 11) ? ".\n" : " ";
    }
    return s;
}

void fuzz_make_tree(const std::string &dir) {
    fuzz_write(dir + "/a.txt",
               "The lighthouse keeper walked to the harbour before the storm. A seagull, a pilot and\n"
               "a beacon; the weather turned. Exam-\nples of hyphenated words run over lines.\n");
    fuzz_write(dir + "/b.html",
               "<html><head><title>Harbour</title></head><body><p>M&uuml;ller keeps the "
               "lighthouse&nbsp;beacon &amp; the <b>storm</b> lamp.</p><!-- seagull --></body></html>\n");
    std::string mp3(400, '\0');
    mp3[0] = '\xFF';
    mp3[1] = '\xFB';
    std::string tag = "TAG";
    auto field = [&tag](const std::string &v, size_t n) { tag += v + std::string(n - v.size(), '\0'); };
    field("Harbour Lights", 30);
    field("The Keeper", 30);
    field("Storm songs", 30);
    field("1999", 4);
    field("recorded near the lighthouse", 30);
    tag += '\x0c';
    fuzz_write(dir + "/c.mp3", mp3 + tag);
    // Several blocks, a word straddling the first block edge and one deep in the third block.
    std::string longer = syllable_text(3000, 7);
    longer.resize(32765, ' ');
    longer += "straddle " + syllable_text(4000, 11);
    longer.resize(70000, ' ');
    longer += " needle in the tidewater " + syllable_text(2000, 13);
    fuzz_write(dir + "/sub/long.txt", longer);
    fuzz_write(dir + "/sub/deeper/umlaut.txt", "\xDC" "ber die Stra\xDF" "e, die Gr\xF6\xDF" "e der B\xFC" "cher.\n");
    fuzz_write(dir + "/sub/z.zip", std::string("PK\x03\x04", 4) + std::string(600, '\x07'));
    fuzz_write(dir + "/sub/empty.txt", "");
    fuzz_write(dir + "/sub/shipmast.txt", "shipmast sailing " + syllable_text(200, 17));
    // Fixed times: the fingerprint of the tree must not depend on when it was written.
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        struct timespec ts[2] = {{1577836800, 123456789}, {1577836800, 123456789}};
        utimensat(AT_FDCWD, e.path().c_str(), ts, 0);
    }
}

int fuzz_index(const std::string &dir, const char *stopwords) {
    static std::string keep;
    keep = dir;
    pass_log = false;
    if (stopwords)
        fuzz_write("stopwords.txt", stopwords);
    else
        unlink("stopwords.txt");
    if (create_idx(keep.c_str()) == -1) return -1;
    int st;
    while ((st = status_idx()) == 1) os_sleep_ms(1);
    return st;
}

void fuzz_trigrams(bool on) {
    static int state = -1;
    if (state == static_cast<int>(on)) return;
    state = on;
    char dir[OS_PATH_MAX];
    std::string path;
    if (on && os_program_dir(dir, sizeof dir)) path = std::string(dir) + "/trigram_freqs.dat";
    load_trigrams(path.empty() ? nullptr : path.c_str());
}

static void put_le(std::string &s, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string fuzz_stored_zip(const std::vector<std::pair<std::string, std::string>> &members) {
    std::string out, dir;
    for (const auto &[name, data] : members) {
        auto crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size())));
        auto ofs = static_cast<uint32_t>(out.size());
        std::string common;
        put_le(common, 10, 2);         // version needed
        put_le(common, 0, 2);          // flags
        put_le(common, 0, 2);          // stored
        put_le(common, 0x00210000, 4); // 1980-01-01
        put_le(common, crc, 4);
        put_le(common, static_cast<uint32_t>(data.size()), 4);
        put_le(common, static_cast<uint32_t>(data.size()), 4);
        put_le(common, static_cast<uint32_t>(name.size()), 2);
        put_le(common, 0, 2);
        out += "PK\x03\x04" + common + name + data;
        dir += "PK\x01\x02";
        put_le(dir, 10, 2);
        dir += common;
        put_le(dir, 0, 2); // comment
        put_le(dir, 0, 2); // disk
        put_le(dir, 0, 2); // internal attributes
        put_le(dir, 0, 4); // external attributes
        put_le(dir, ofs, 4);
        dir += name;
    }
    auto dir_ofs = static_cast<uint32_t>(out.size());
    out += dir + "PK\x05\x06";
    put_le(out, 0, 4);
    put_le(out, static_cast<uint32_t>(members.size()), 2);
    put_le(out, static_cast<uint32_t>(members.size()), 2);
    put_le(out, static_cast<uint32_t>(dir.size()), 4);
    put_le(out, dir_ofs, 4);
    put_le(out, 0, 2);
    return out;
}
