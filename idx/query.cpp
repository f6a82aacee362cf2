#include "idx/index.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "idx/check.h"
#include "idx/text/detect.h"
#include "idx/text/extract.h"
#include "idx/read/cdfs.h"
#include "idx/read/decode.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "idx/text/encoding.h"
#include "os/os.h"

// Query evaluation belongs to the index unit; assertion reports name it.
static const char UNIT[] = "idx/index";

// Puts a sink in word_sink (and its mode in word_mode) while a query or a locate pass runs, and
// restores what was there: indexing never sees the query's words.
class SinkScope {
  public:
    SinkScope(WordSink sink, int mode) : saved_sink_(word_sink), saved_mode_(word_mode) {
        word_sink = sink;
        word_mode = mode;
    }
    ~SinkScope() {
        word_sink = saved_sink_;
        word_mode = saved_mode_;
    }
    SinkScope(const SinkScope &) = delete;
    SinkScope &operator=(const SinkScope &) = delete;

  private:
    WordSink saved_sink_;
    int saved_mode_;
};

// ---- Queries ----

constexpr int MAX_QUERY_WORDS = 3;
constexpr int TEXT_SIZE = 256;

// The current query and its result listing. Owned by the UI thread (queries run only while no
// run is active); query_idx starts it afresh, and the buffers stay for the life of the process.
struct QueryState {
    char slots[MAX_QUERY_WORDS][MAX_WORD + 1]; // the query's stems, in the order typed
    int words;                                 // slots in use
    uint8_t file_scores[MAX_FILES];            // bits 6-7 matched words, bits 0-5 capped total
    std::vector<uint32_t> results;             // postings of every word, ranked; slot in bits 6-7
    std::vector<uint32_t> chain;               // one word's postings while its chain is read
    size_t result_pos;                         // next result to deliver
    uint32_t result_fn;                        // file of the last result delivered
    int result_text_kind;                      // what a decoded result's text was, when located
    ResultState result_state;                  // of the file of the last next_result
    std::unordered_map<uint32_t, ResultState> states; // files judged in this listing: one stat each
    bool prev_text;                            // the last next_result call asked for excerpts
    char path_buf[OS_PATH_MAX];                // get_file_path's answer
    char text_buf[TEXT_SIZE];                  // next_result's excerpts
    int text_len;                              // bytes of text_buf in use
    std::string context;                       // the same hits with about a line around each
    char *block_buf;                           // READ_SIZE bytes for locate_in_block, made on first use
    // What block_buf holds while one result's excerpts are found: its words may share blocks.
    bool buf_valid;
    unsigned buf_fn, buf_block;
    int buf_bytes;
    const char *locate_target;                 // the stem locate mode looks for
    size_t locate_len;                         // its letters
    bool locate_found;                         // locate mode has met it
    std::vector<QueryWordInfo> infos;          // every word typed, and what came of it
    const char *text;                          // the query text while it is tokenized
    int text_base;                             // offset in it of the buffer being tokenized
    bool stopped;                              // a fourth word stopped the tokenizer
    bool listing_only;                         // the words after it are only listed
};
static QueryState qs;

static void forget_blocks();

// Empties the query and its listing; the buffers stay.
static void reset_query() {
    forget_blocks();
    qs.words = 0;
    qs.infos.clear();
    qs.stopped = false;
    qs.listing_only = false;
    qs.results.clear();
    memset(qs.file_scores, 0, sizeof qs.file_scores);
    qs.result_pos = 0;
    qs.prev_text = false;
    qs.states.clear();
}

// Takes a posting of a sound chain into qs.chain; false when the chain leaves file order.
static bool take_posting(uint32_t p, void *) {
    if (!qs.chain.empty() && post_fn(p) <= post_fn(qs.chain.back())) return false;
    qs.chain.push_back(p);
    return true;
}

// Gathers the postings of a word from its chain. A chain that leaves the file, runs over
// MAX_CHAIN_BUCKETS buckets, never reaches its last posting or is out of file order comes from a
// damaged index: the word then contributes nothing. Postings of files the table no longer has are
// passed over by the caller.
static bool read_chain(const Word &w) {
    qs.chain.clear();
    return walk_chain(idx_pool.base, idx_pool.end, w, take_posting, nullptr);
}

static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
// A byte of the query text that joins no word and says nothing to a reader as a separator:
// a letter of another alphabet or with another accent.
static bool is_foreign(unsigned char c) { return c >= 0x80; }

// Notes a word the tokenizer has just handed on, with its place in the query text.
static QueryWordInfo &note_word(const char *stem, int len, QueryWordState state) {
    QueryWordInfo info{};
    info.stem.assign(stem, static_cast<size_t>(len));
    info.state = state;
    int start, end;
    extract_last_span(&start, &end);
    info.at = qs.text_base + (start >= 0 ? start : 0);
    if (qs.text && start >= 0 && end >= start) {
        const auto *t = reinterpret_cast<const unsigned char *>(qs.text) + qs.text_base;
        info.typed.assign(reinterpret_cast<const char *>(t) + start, static_cast<size_t>(end - start));
        unsigned char before = qs.text_base + start > 0 ? t[start - 1] : 0, after = t[end];
        info.digit_next = is_digit(before) || is_digit(after);
        info.foreign_next = is_foreign(before) || is_foreign(after);
    } else {
        info.typed = info.stem;
    }
    qs.infos.push_back(std::move(info));
    return qs.infos.back();
}

// Gathers the postings of one query word (stem and key given); -1 once three words are taken.
static int query_word(const char *word, int len, uint32_t key) {
    if (qs.listing_only) {
        note_word(word, len, QueryWordState::beyond_third);
        return 0;
    }
    // A catalogued load has not looked at the nodes: the one this word lives in is checked here.
    const STnode *node = tbl_node_of(word_table, key);
    bool node_sound = node->count < NODE_SLOTS && node->depth <= static_cast<uint32_t>(word_table.depth);
    Word *w = node_sound ? tbl_find(word_table, key) : nullptr;
    if (qs.words == MAX_QUERY_WORDS) {
        qs.stopped = true;
        note_word(word, len, QueryWordState::beyond_third);
        return -1;
    }
    uint32_t slot = static_cast<uint32_t>(qs.words);
    memcpy(qs.slots[slot], word, static_cast<size_t>(len) + 1);
    QueryWordInfo &info = note_word(word, len,
                                    !w             ? QueryWordState::not_indexed
                                    : !is_stop(*w) ? QueryWordState::found
                                    : nbuckets(*w) ? QueryWordState::too_common
                                                   : QueryWordState::stop_word);
    bool sound = w && !is_stop(*w) && read_chain(*w);
    // A chain the load did not check is checked here, as it is walked: a damaged one is said so.
    if ((w && !is_stop(*w) && !sound) || !node_sound) info.state = QueryWordState::damaged;
    if (sound) {
        for (uint32_t p : qs.chain) {
            uint32_t fn = post_fn(p);
            if (fn >= static_cast<uint32_t>(num_files.load(std::memory_order_relaxed))) continue;
            uint8_t s = qs.file_scores[fn];
            uint32_t total = std::min<uint32_t>(63, (s & 63u) + post_count(p));
            qs.file_scores[fn] = static_cast<uint8_t>((((s >> 6) + 1u) << 6) | total);
            qs.results.push_back((p & ~0xC0u) | (slot << 6));
            info.files++;
        }
    }
    qs.words++;
    return 0;
}

// The tokenizer's sink while a query runs: words of 1 to 3 letters are noted as too short to be
// searched, the others stemmed and looked up.
static int query_sink(char *word, int len) {
    if (len < 4) {
        note_word(word, len, QueryWordState::too_short);
        return 0;
    }
    uint32_t key = stem_and_key(word, len);
    return query_word(word, len, key);
}

int query_typed(const std::vector<std::string> &words) {
    std::string text;
    for (size_t i = 0; i < words.size(); i++) {
        if (i) text += ' ';
        text += to_latin1(words[i]);
    }
    return query_idx(text.c_str());
}

// Every run of digits that no letter touches is a number the user typed; it is listed among the
// words, where it stands, so that the user learns why it found nothing.
static void note_numbers(const char *text, int n) {
    std::vector<QueryWordInfo> numbers;
    bool letter_before = false;
    for (int i = 0; i < n;) {
        if (!is_digit(static_cast<unsigned char>(text[i]))) {
            char f;
            i += extract_char(text, i, n, &f);
            letter_before = f != 0;
            continue;
        }
        int j = i;
        while (j < n && is_digit(static_cast<unsigned char>(text[j]))) j++;
        char f = 0;
        if (j < n) extract_char(text, j, n, &f);
        if (!letter_before && !f) {
            QueryWordInfo info{};
            info.typed.assign(text + i, static_cast<size_t>(j - i));
            info.stem = info.typed;
            info.state = QueryWordState::number;
            info.at = i;
            numbers.push_back(std::move(info));
        }
        letter_before = false;
        i = j;
    }
    if (numbers.empty()) return;
    std::vector<QueryWordInfo> all;
    size_t k = 0;
    for (QueryWordInfo &w : qs.infos) {
        for (; k < numbers.size() && numbers[k].at < w.at; k++) all.push_back(std::move(numbers[k]));
        all.push_back(std::move(w));
    }
    for (; k < numbers.size(); k++) all.push_back(std::move(numbers[k]));
    qs.infos = std::move(all);
}

int query_idx(const char *text) {
    reset_query();
    if (!idx_loaded) return 0;
    SinkScope scope(query_sink, MODE_QUERY);
    extract_reset();
    // The user chose these words: no plausibility test, and short words are listed, not searched.
    int n = static_cast<int>(strlen(text)) + 1;
    qs.text = text;
    qs.text_base = 0;
    int r = extract_query(text, n);
    if (qs.stopped) {
        // The rest of the text is not searched; its words are listed so that the user sees why.
        qs.listing_only = true;
        qs.text_base = r;
        extract_query(text + r, n - r);
        qs.listing_only = false;
    }
    qs.text = nullptr;
    extract_reset();
    note_numbers(text, n - 1);
    std::sort(qs.results.begin(), qs.results.end(), [](uint32_t a, uint32_t b) {
        uint8_t sa = qs.file_scores[post_fn(a)], sb = qs.file_scores[post_fn(b)];
        if (sa != sb) return sa > sb;
        if (post_fn(a) != post_fn(b)) return post_fn(a) < post_fn(b);
        return post_slot(a) < post_slot(b);
    });
    return r;
}

unsigned result_file() { return qs.result_fn; }

std::string folded_letters(const std::string &text) {
    std::string out;
    int n = static_cast<int>(text.size());
    for (int i = 0; i < n;) {
        char f = 0;
        int used = extract_char(text.data(), i, n, &f);
        if (f) out += f;
        i += used > 0 ? used : 1;
    }
    return out;
}

bool read_listed_file(unsigned file_num, const std::function<bool(const char *data, size_t n)> &sink) {
    if (!idx_loaded || file_num >= file_table.size()) return false;
    uint64_t size = file_table[file_num].file_size;
    std::vector<char> buf(READ_SIZE);
    forget_blocks(); // the excerpts' buffer is not used here, but the open file may be shared
    bool ok = true;
    for (uint64_t at = 0; ok && at < size; at += READ_SIZE) {
        uint64_t block = at / READ_SIZE;
        if (block > UINT32_MAX) return false;
        int n = read_block(file_num, static_cast<unsigned>(block), buf.data());
        uint64_t want = std::min<uint64_t>(READ_SIZE, size - at);
        ok = n >= 0 && static_cast<uint64_t>(n) >= want && sink(buf.data(), want);
    }
    read_block_close();
    return ok;
}

char *get_file_path(unsigned file_num) {
    IDX_ASSERT(file_num < static_cast<unsigned>(num_files.load(std::memory_order_relaxed)) &&
               "file_num < num_files");
    if (!join_path(qs.path_buf, file_num)) qs.path_buf[0] = 0;
    return qs.path_buf;
}

// Reads block `block` of a file into the block buffer, made on first use; the bytes read, or -1.
static int read_into_block_buf(unsigned file_num, unsigned block) {
    if (qs.buf_valid && qs.buf_fn == file_num && qs.buf_block == block) return qs.buf_bytes;
    if (!qs.block_buf) qs.block_buf = static_cast<char *>(os_reserve(READ_SIZE));
    if (!qs.block_buf) return -1;
    int n = read_block(file_num, block, qs.block_buf);
    qs.buf_valid = n >= 0;
    qs.buf_fn = file_num;
    qs.buf_block = block;
    qs.buf_bytes = n;
    return n;
}

// Ends one result's reading: the next reads the files afresh.
static void forget_blocks() {
    qs.buf_valid = false;
    read_block_close();
}

static int locate_sink(char *word, int len);

int locate_in_block(unsigned file_num, unsigned block, char **data, int *n) {
    int got = read_into_block_buf(file_num, block);
    if (got < 0) return -1;
    *data = qs.block_buf;
    *n = got;
    SinkScope scope(locate_sink, MODE_LOCATE);
    return extract_words(qs.block_buf, got, file_table[file_num].kind);
}

// Whether a word of len letters can stem to the stem being located. A stem is never longer than
// its word and keeps every letter but its last from the word's beginning, so most words are ruled
// out without being stemmed.
static bool locate_candidate(const char *word, int len) {
    size_t n = qs.locate_len;
    return n == 0 || (static_cast<size_t>(len) >= n && memcmp(word, qs.locate_target, n - 1) == 0);
}

// The tokenizer's sink while an excerpt is located: -1 (stop) at the word being located.
static int locate_sink(char *word, int len) {
    if (len < 4 || !locate_candidate(word, len)) return 0;
    stem_and_key(word, len);
    if (strcmp(word, qs.locate_target) != 0) return 0;
    qs.locate_found = true;
    return -1;
}

// Appends bytes [from, to) of data and " ... " to the text, CR, LF and NUL turned into spaces.
// Bytes of context result_context keeps before a hit's word and after its end, within the block
// that holds it: more after than before, so that the word stays in sight at the left of a column.
constexpr int CONTEXT_BEFORE = 24, CONTEXT_AFTER = 80;

static void append_context(const char *data, int from, int to) {
    for (int i = from; i < to; i++) {
        char c = data[i];
        qs.context += (c == '\r' || c == '\n' || c == 0) ? ' ' : c;
    }
    qs.context += " ... ";
}

static void append_excerpt(const char *data, int from, int to) {
    if (to < from || qs.text_len + (to - from) + 6 > TEXT_SIZE) return;
    for (int i = from; i < to; i++) {
        char c = data[i];
        qs.text_buf[qs.text_len++] = (c == '\r' || c == '\n' || c == 0) ? ' ' : c;
    }
    memcpy(qs.text_buf + qs.text_len, " ... ", 6);
    qs.text_len += 5;
}

// An audio file's word comes from its ID3v1 tag, where positions mean nothing: the excerpt is the
// tag field (title, artist, album or comment) that holds the word.
static void append_tag_field(const char *data, int n) {
    const char *tag = data + n - TAG_SIZE;
    for (int f : TAG_FIELDS) {
        extract_reset();
        qs.locate_found = false;
        extract_plain(tag + f, TAG_FIELD_SCAN);
        extract_end_file();
        if (!qs.locate_found) continue;
        int end = f + TAG_FIELD_LEN;
        while (end > f && (tag[end - 1] == 0 || tag[end - 1] == ' ')) end--;
        append_excerpt(tag, f, end);
        append_context(tag, f, end);
        return;
    }
}

// Locating in a decoded file: blocks before `from` are decoded and passed over.
struct DecodedLocate {
    uint32_t from;
    int len;
};

static bool locate_decoded_block(void *ctx, uint32_t block, const char *data, int n, int kind, bool last) {
    auto *c = static_cast<DecodedLocate *>(ctx);
    qs.result_text_kind = kind;
    // Markup is read from its start, as in a file of its own.
    if (kind == KIND_MARKUP) c->from = 0;
    if (block < c->from) return true;
    int end = extract_words(data, n, kind);
    if (!qs.locate_found && last) {
        extract_end_file(); // a word that runs up to the text's last byte ends with it
        end = n + 1;
    }
    if (!qs.locate_found) return !last;
    append_excerpt(data, std::max(0, end - c->len - 11), std::min(end + 9, n));
    append_context(data, std::max(0, end - c->len - CONTEXT_BEFORE), std::min(end + CONTEXT_AFTER, n));
    return false;
}

// The words of a decoded file stand in its decoded text: the file is decoded again from its start
// up to the block that holds the word.
static void locate_decoded(unsigned fn, int kind, uint32_t from, int len) {
    DecodedLocate c{from, len};
    Decoder d;
    d.begin(kind, locate_decoded_block, &c);
    std::vector<char> raw(READ_SIZE);
    for (unsigned rb = 0; !d.stopped(); rb++) {
        int n = read_block(fn, rb, raw.data());
        if (n <= 0 || !d.feed(raw.data(), n) || n < static_cast<int>(READ_SIZE)) break;
    }
    d.end();
}

// Finds the first occurrence of the posting's word in the file and appends its excerpt.
static void locate_posting(unsigned fn, uint32_t p) {
    FileEntry &e = file_table[fn];
    if (e.kind == KIND_UNKNOWN) {
        // A loaded table has never seen the files' data: detect the kind once, from block 0.
        int n = read_into_block_buf(fn, 0);
        if (n < 0) return;
        e.kind = detect_type(qs.block_buf, n);
    }
    if (e.kind <= 0) return;
    qs.locate_target = qs.slots[post_slot(p)];
    qs.locate_len = strlen(qs.locate_target);
    int len = static_cast<int>(qs.locate_len);
    qs.locate_found = false;
    extract_reset();
    // A first occurrence that straddles two blocks was recorded with the later one: start one
    // block early so that its beginning is read too. Markup is read from its start: whether a
    // block lies inside a script or style element depends on all that came before it.
    unsigned block = post_block(p);
    if (block > 0) block--;
    if (e.kind == KIND_MARKUP) block = 0;
    if (decoded_kind(e.kind)) {
        locate_decoded(fn, e.kind, block, len);
        extract_reset();
        return;
    }
    for (;; block++) {
        char *data;
        int n;
        int end = locate_in_block(fn, block, &data, &n);
        if (end < 0) break;
        bool last = n < static_cast<int>(READ_SIZE);
        if (!qs.locate_found && last) {
            // A word that runs up to the file's last byte ends with the file, as when it was indexed.
            extract_end_file();
            end = n + 1;
        }
        if (!qs.locate_found) {
            if (last) break;
            continue;
        }
        if (e.kind == KIND_AUDIO && end == 0 && n >= TAG_SIZE)
            append_tag_field(data, n);
        else
        {
            append_excerpt(data, std::max(0, end - len - 11), std::min(end + 9, n));
            append_context(data, std::max(0, end - len - CONTEXT_BEFORE), std::min(end + CONTEXT_AFTER, n));
        }
        break;
    }
    extract_reset();
}

void read_excerpts_ahead(int rows) {
    read_cd_blocks_ahead({});
    if (!cd_mode || volume_absent()) return;
    std::vector<std::pair<unsigned, unsigned>> blocks;
    int seen_rows = 0;
    uint32_t last_fn = UINT32_MAX;
    for (size_t i = 0; i < qs.results.size(); i++) {
        uint32_t p = qs.results[i], fn = post_fn(p);
        if (fn != last_fn && ++seen_rows > rows) break;
        last_fn = fn;
        const FileEntry &e = file_table[fn];
        // The blocks locate_posting reads: from the one before the posting's (from the start for
        // markup or a kind not yet known) up to the one holding the word. A decoded file is read from its
        // start by its decoder, as far as the hit: left to it.
        if (decoded_kind(e.kind) || e.kind == KIND_NONE || e.kind < 0) continue;
        // A disc's reads are READ_SIZE bytes of the volume, not of the file: a posting names the
        // file's block where the read holding the word began, so the word may lie in the next.
        unsigned last = post_block(p) + 1;
        unsigned first = e.kind == KIND_MARKUP || e.kind == KIND_UNKNOWN || last < 2 ? 0 : last - 2;
        for (unsigned b = first; b <= last && blocks.size() < static_cast<size_t>(AHEAD_BLOCKS); b++)
            blocks.emplace_back(fn, b);
        if (blocks.size() >= static_cast<size_t>(AHEAD_BLOCKS)) break;
    }
    read_cd_blocks_ahead(std::move(blocks));
}

int next_result(char **path, int *freq, char **text) {
    bool want_text = text != nullptr;
    if (want_text && !qs.prev_text) qs.result_pos = 0;
    qs.prev_text = want_text;
    if (qs.result_pos >= qs.results.size()) return -1;
    uint32_t fn = post_fn(qs.results[qs.result_pos]);
    qs.result_fn = fn;
    qs.result_text_kind = KIND_TEXT;
    *path = get_file_path(fn);
    // The listing is gone through twice (paths, then excerpts): a file is judged once.
    if (auto known = qs.states.find(fn); known != qs.states.end()) {
        qs.result_state = known->second;
    } else {
        qs.result_state = ResultState::fresh;
        if (volume_absent()) {
            qs.result_state = ResultState::absent;
        } else if (results_checked()) {
            const FileEntry &e = file_table[fn];
            OsFileStat st;
            if (!os_stat(*path, &st) || !st.is_file)
                qs.result_state = ResultState::gone;
            else if (st.size != e.file_size || st.mtime_sec != e.mtime_sec || st.mtime_nsec != e.mtime_nsec)
                qs.result_state = ResultState::changed;
        }
        qs.states.emplace(fn, qs.result_state);
    }
    // A file that is not there is not read for its excerpt: a disc would be asked for in vain.
    if (qs.result_state == ResultState::absent || qs.result_state == ResultState::gone) want_text = false;
    if (text) {
        qs.text_len = 0;
        qs.context.clear();
        memset(qs.text_buf, 0, sizeof qs.text_buf);
        *text = qs.text_buf;
    }
    SinkScope scope(locate_sink, MODE_LOCATE); // a pending word may be handed on at a file's end
    int total = 0;
    bool capped = false;
    for (; qs.result_pos < qs.results.size() && post_fn(qs.results[qs.result_pos]) == fn; qs.result_pos++) {
        uint32_t p = qs.results[qs.result_pos];
        if (want_text) locate_posting(fn, p);
        total += static_cast<int>(post_count(p));
        capped |= post_count(p) == 63;
    }
    if (want_text) forget_blocks();
    *freq = capped ? -total : total;
    return 0;
}

ResultState result_state() { return qs.result_state; }

const char *result_context() { return qs.context.c_str(); }

int result_rank() { return qs.result_fn < MAX_FILES ? qs.file_scores[qs.result_fn] : 0; }

int result_kind() {
    if (qs.result_fn >= file_table.size()) return KIND_UNKNOWN;
    int kind = file_table[qs.result_fn].kind;
    return decoded_kind(kind) ? qs.result_text_kind : kind;
}

const std::vector<QueryWordInfo> &query_words() { return qs.infos; }

// n with a comma between groups of three digits: 1,785.
static std::string with_commas(uint32_t n) {
    std::string s = std::to_string(n);
    for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) s.insert(static_cast<size_t>(i), ",");
    return s;
}

std::string query_word_reason(const QueryWordInfo &w) {
    std::string s = w.typed + ": ";
    switch (w.state) {
    case QueryWordState::found:
        if (w.files == 0)
            s += "in the index, but in none of the files listed";
        else
            s += "found in " + std::to_string(w.files) + (w.files == 1 ? " file" : " files");
        break;
    case QueryWordState::stop_word:
        s += "a stop word, left out of the index";
        break;
    case QueryWordState::too_common:
        s += "in more than " + with_commas(MAX_CHAIN_BUCKETS * BUCKET_POSTS) + " files, too common to be indexed";
        break;
    case QueryWordState::not_indexed:
        s += "not in the index";
        break;
    case QueryWordState::too_short:
        s += "shorter than 4 letters";
        if (w.digit_next)
            s += " (digits separate words)";
        else if (w.foreign_next)
            s += " (letters other than A-Z, their accented forms, umlauts and sharp s separate words)";
        break;
    case QueryWordState::beyond_third:
        s += "not searched, only the first three words are";
        break;
    case QueryWordState::number:
        s += "numbers are not indexed";
        break;
    case QueryWordState::damaged:
        s += "its entries in idx.dat are damaged; index the folder again";
        break;
    }
    return s;
}
