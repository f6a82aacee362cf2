#include "idx/index.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "idx/check.h"
#include "idx/detect.h"
#include "idx/extract.h"
#include "idx/read.h"
#include "os/os.h"

// Query evaluation belongs to the index unit; assertion reports name it.
static const char UNIT[] = "idx/index";

// ---- Queries ----

constexpr int MAX_QUERY_WORDS = 3;
constexpr int TEXT_SIZE = 256;

static char query_slots[MAX_QUERY_WORDS][MAX_WORD + 1];
static int query_words = 0;
static uint8_t file_scores[65536]; // bits 6-7 matched words, bits 0-5 capped total
static std::vector<uint32_t> results;
static std::vector<uint32_t> chain; // one word's postings while its chain is checked
static size_t result_pos = 0;
static bool prev_text = false;
static char path_buf[OS_PATH_MAX];
static char text_buf[TEXT_SIZE];
static char *block_buf = nullptr;
static const char *locate_target = nullptr;
static bool locate_found = false;

// Gathers the postings of a word from its chain. A chain that leaves the file, runs over 29
// buckets, never reaches its last posting or is out of file order comes from a damaged index:
// the word then contributes nothing. Postings of files the table no longer has are passed over.
static bool read_chain(const Word &w) {
    chain.clear();
    uint32_t n = nbuckets(w), last = last_ofs(w), ofs = first_bkt(w) * BUCKET_SIZE;
    if (n == 0 || n > 29) return false;
    for (uint32_t b = 0; b < n; b++) {
        if (ofs % BUCKET_SIZE || ofs < sizeof(IdxHeader) || uint64_t{ofs} + BUCKET_SIZE > idx_pool.end) return false;
        const auto *bucket = static_cast<const Bucket *>(ofs_to_ptr(ofs));
        for (uint32_t k = 0; k < 7; k++) {
            uint32_t p = bucket->post[k];
            if (!chain.empty() && post_fn(p) <= post_fn(chain.back())) return false;
            chain.push_back(p);
            if (ofs + 4 * k == last) return true;
        }
        ofs = bucket->next;
    }
    return false;
}

int query_word(const char *word, int len, uint32_t key) {
    Word *w = tbl_find(word_table, key);
    if (query_words == MAX_QUERY_WORDS) return -1;
    uint32_t slot = static_cast<uint32_t>(query_words);
    memcpy(query_slots[slot], word, static_cast<size_t>(len) + 1);
    if (w && !is_stop(*w) && read_chain(*w)) {
        for (uint32_t p : chain) {
            uint32_t fn = post_fn(p);
            if (fn >= static_cast<uint32_t>(num_files.load(std::memory_order_relaxed))) continue;
            uint8_t s = file_scores[fn];
            uint32_t total = std::min<uint32_t>(63, (s & 63u) + post_count(p));
            file_scores[fn] = static_cast<uint8_t>((((s >> 6) + 1u) << 6) | total);
            results.push_back((p & ~0xC0u) | (slot << 6));
        }
    }
    query_words++;
    return 0;
}

int query_idx(const char *text) {
    query_words = 0;
    results.clear();
    memset(file_scores, 0, sizeof file_scores);
    result_pos = 0;
    word_mode = MODE_QUERY;
    if (!idx_loaded) return 0;
    extract_reset();
    int r = extract_plain(text, static_cast<int>(strlen(text)) + 1);
    extract_reset();
    std::sort(results.begin(), results.end(), [](uint32_t a, uint32_t b) {
        uint8_t sa = file_scores[post_fn(a)], sb = file_scores[post_fn(b)];
        if (sa != sb) return sa > sb;
        if (post_fn(a) != post_fn(b)) return post_fn(a) < post_fn(b);
        return post_slot(a) < post_slot(b);
    });
    return r;
}

char *get_file_path(unsigned file_num) {
    IDX_ASSERT(file_num < static_cast<unsigned>(num_files.load(std::memory_order_relaxed)) &&
               "file_num < num_files");
    if (!join_path(path_buf, file_num)) path_buf[0] = 0;
    return path_buf;
}

// Reads block `block` of a file into the block buffer, made on first use; the bytes read, or -1.
static int read_into_block_buf(unsigned file_num, unsigned block) {
    if (!block_buf) block_buf = static_cast<char *>(os_reserve(READ_SIZE));
    if (!block_buf) return -1;
    return read_block(file_num, block, block_buf);
}

int locate_in_block(unsigned file_num, unsigned block, char **data, int *n) {
    int got = read_into_block_buf(file_num, block);
    if (got < 0) return -1;
    *data = block_buf;
    *n = got;
    return extract_words(block_buf, got, file_table[file_num].kind);
}

int locate_word(const char *word) {
    if (strcmp(word, locate_target) != 0) return 0;
    locate_found = true;
    return -1;
}

static int text_len = 0;

// Appends bytes [from, to) of data and " ... " to the text, CR, LF and NUL turned into spaces.
static void append_excerpt(const char *data, int from, int to) {
    if (to < from || text_len + (to - from) + 6 > TEXT_SIZE) return;
    for (int i = from; i < to; i++) {
        char c = data[i];
        text_buf[text_len++] = (c == '\r' || c == '\n' || c == 0) ? ' ' : c;
    }
    memcpy(text_buf + text_len, " ... ", 6);
    text_len += 5;
}

// An audio file's word comes from its ID3v1 tag, where positions mean nothing: the excerpt is the
// tag field (title, artist, album or comment) that holds the word.
static void append_tag_field(const char *data, int n) {
    static const int FIELDS[] = {3, 33, 63, 97};
    const char *tag = data + n - 128;
    for (int f : FIELDS) {
        extract_reset();
        locate_found = false;
        extract_plain(tag + f, 29);
        extract_end_file();
        if (!locate_found) continue;
        int end = f + 30;
        while (end > f && (tag[end - 1] == 0 || tag[end - 1] == ' ')) end--;
        append_excerpt(tag, f, end);
        return;
    }
}

// Finds the first occurrence of the posting's word in the file and appends its excerpt.
static void locate_posting(unsigned fn, uint32_t p) {
    FileEntry &e = file_table[fn];
    if (e.kind == KIND_UNKNOWN) {
        // A loaded table has never seen the files' data: detect the kind once, from block 0.
        int n = read_into_block_buf(fn, 0);
        if (n < 0) return;
        e.kind = detect_type(block_buf, n);
    }
    if (e.kind <= 0) return;
    locate_target = query_slots[post_slot(p)];
    int len = static_cast<int>(strlen(locate_target));
    locate_found = false;
    extract_reset();
    // A first occurrence that straddles two blocks was recorded with the later one: start one
    // block early so that its beginning is read too.
    unsigned block = post_block(p);
    if (block > 0) block--;
    for (;; block++) {
        char *data;
        int n;
        int end = locate_in_block(fn, block, &data, &n);
        if (end < 0) break;
        bool last = n < static_cast<int>(READ_SIZE);
        if (!locate_found && last) {
            // A word that runs up to the file's last byte ends with the file, as when it was indexed.
            extract_end_file();
            end = n + 1;
        }
        if (!locate_found) {
            if (last) break;
            continue;
        }
        if (e.kind == KIND_AUDIO && end == 0 && n >= 128)
            append_tag_field(data, n);
        else
            append_excerpt(data, std::max(0, end - len - 11), std::min(end + 9, n));
        break;
    }
    extract_reset();
}

int next_result(char **path, int *freq, char **text) {
    bool want_text = text != nullptr;
    if (want_text && !prev_text) result_pos = 0;
    prev_text = want_text;
    if (result_pos >= results.size()) return -1;
    uint32_t fn = post_fn(results[result_pos]);
    *path = get_file_path(fn);
    if (want_text) {
        text_len = 0;
        memset(text_buf, 0, sizeof text_buf);
        *text = text_buf;
    }
    word_mode = MODE_LOCATE;
    int total = 0;
    bool capped = false;
    for (; result_pos < results.size() && post_fn(results[result_pos]) == fn; result_pos++) {
        uint32_t p = results[result_pos];
        if (want_text) locate_posting(fn, p);
        total += static_cast<int>(post_count(p));
        capped |= post_count(p) == 63;
    }
    *freq = capped ? -total : total;
    return 0;
}
