#include "idx/read/decode.h"

#include <algorithm>
#include <string>
#include <vector>

#include <zlib.h>

#include "idx/read/files.h"
#include "idx/read/pdf.h"
#include "idx/read/pipeline.h"
#include "idx/read/zipdoc.h"
#include "idx/text/detect.h"
#include "idx/text/extract.h"
#include "os/os.h"

uint64_t inflate_cap = INFLATE_CAP;
uint64_t hold_cap = HOLD_CAP;

struct Decoder::State {
    int kind = KIND_NONE;
    DecodedBlock sink = nullptr;
    void *ctx = nullptr;
    std::vector<char> out = std::vector<char>(READ_SIZE);
    uint32_t fill = 0;            // decoded bytes waiting in out
    uint32_t block = 0;           // number of the block out holds
    uint64_t total = 0;           // decoded bytes so far
    int inner = KIND_UNKNOWN;     // what the decoded text is, from its first block
    int problem = 0;              // OS_ERR_* when the file is not read whole
    bool input_done = false;      // no more input is taken
    bool halted = false;          // no more blocks are handed on
    // gzip
    z_stream z{};
    bool z_open = false;
    bool member_ended = false;    // the current member's stream ended whole
    bool member_out = false;      // the current member gave output
    bool any_member = false;      // a member ended whole
    bool z_started = false;       // input arrived
    // UTF-16
    bool have_odd = false;
    unsigned char odd = 0;
    bool bom_done = false;
    uint32_t high = 0;            // a high surrogate waiting for its pair, else 0
    // documents read whole
    std::string held;             // the file's bytes so far
    bool parallel = false;        // more than one helper may read it

    ~State() {
        if (z_open) inflateEnd(&z);
    }

    // Hands the block in out on. The first block says what the text is: decoded data that is no
    // text or markup (an archive, a binary) is passed over, as such a file of its own would be.
    void flush(bool last) {
        if (halted || fill == 0) return;
        if (block == 0 && inner == KIND_UNKNOWN) {
            int k = detect_type_with(out.data(), static_cast<int>(fill), 0);
            inner = k == KIND_TEXT || k == KIND_MARKUP ? k : KIND_NONE;
        }
        if (inner <= 0 || !sink(ctx, block, out.data(), static_cast<int>(fill), inner, last)) {
            halted = true;
            input_done = true;
        }
        block++;
        fill = 0;
    }

    void gzip(const char *p, int n) {
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(p));
        z.avail_in = static_cast<uInt>(n);
        z_started = true;
        while (z.avail_in > 0 && !input_done) {
            if (fill == READ_SIZE) {
                // Held until more follows, so that the last block is known as the last.
                flush(false);
                if (input_done) break;
            }
            if (member_ended) {
                // Another member follows (concatenated gzip files), or padding.
                inflateReset(&z);
                member_ended = false;
                member_out = false;
            }
            // One byte beyond the cap shows that there is more.
            uint64_t give = std::min<uint64_t>(READ_SIZE - fill, inflate_cap - total + 1);
            z.next_out = reinterpret_cast<Bytef *>(out.data() + fill);
            z.avail_out = static_cast<uInt>(give);
            int rc = inflate(&z, Z_NO_FLUSH);
            uint64_t got = give - z.avail_out;
            if (got > 0) member_out = true;
            if (total + got > inflate_cap) {
                got = inflate_cap - total;
                problem = OS_ERR_TOO_BIG;
                input_done = true;
            }
            fill += static_cast<uint32_t>(got);
            total += got;
            if (input_done) break;
            if (rc == Z_STREAM_END) {
                member_ended = true;
                any_member = true;
            } else if (rc == Z_BUF_ERROR) {
                if (z.avail_out > 0) break; // wants more input
            } else if (rc != Z_OK) {
                // Bytes after whole members that are no member (zero padding) are no damage.
                if (!any_member || member_out) problem = OS_ERR_DAMAGED;
                input_done = true;
            }
        }
    }

    // A document's text as its reader gives it; false once no more is wanted.
    bool put_text(const char *p, size_t n) {
        while (n > 0) {
            if (fill == READ_SIZE) flush(false);
            if (halted) return false;
            size_t k = std::min<size_t>(n, READ_SIZE - fill);
            if (total + k > inflate_cap) {
                problem = OS_ERR_TOO_BIG;
                return false;
            }
            std::copy(p, p + k, out.data() + fill);
            fill += static_cast<uint32_t>(k);
            total += k;
            p += k;
            n -= k;
        }
        return !halted;
    }

    void hold(const char *p, int n) {
        if (held.size() + static_cast<size_t>(n) > hold_cap) {
            // Too big to hold: left out whole rather than read from a disc a second time.
            problem = OS_ERR_HELD_TOO_BIG;
            input_done = true;
            std::string().swap(held);
            return;
        }
        held.append(p, static_cast<size_t>(n));
    }

    void read_held() {
        TextPut put = [this](const char *p, size_t n) { return put_text(p, n); };
        int why = kind == KIND_PDF ? read_pdf(held.data(), held.size(), inflate_cap, put, parallel)
                                   : read_zip_document(kind, held.data(), held.size(), inflate_cap, put);
        if (problem == 0) problem = why;
        std::string().swap(held);
    }

    void put_utf8(uint32_t c) {
        if (READ_SIZE - fill < 4) flush(false);
        if (input_done) return;
        char *o = out.data() + fill;
        int k;
        if (c < 0x80) {
            o[0] = static_cast<char>(c);
            k = 1;
        } else if (c < 0x800) {
            o[0] = static_cast<char>(0xC0 | (c >> 6));
            o[1] = static_cast<char>(0x80 | (c & 0x3F));
            k = 2;
        } else if (c < 0x10000) {
            o[0] = static_cast<char>(0xE0 | (c >> 12));
            o[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            o[2] = static_cast<char>(0x80 | (c & 0x3F));
            k = 3;
        } else {
            o[0] = static_cast<char>(0xF0 | (c >> 18));
            o[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            o[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            o[3] = static_cast<char>(0x80 | (c & 0x3F));
            k = 4;
        }
        if (total + static_cast<uint64_t>(k) > inflate_cap) {
            problem = OS_ERR_TOO_BIG;
            input_done = true;
            return;
        }
        fill += static_cast<uint32_t>(k);
        total += static_cast<uint64_t>(k);
    }

    // One UTF-16 unit. NULs and unpaired surrogates become spaces: they separate words, and a
    // NUL would make the decoded text look binary.
    void put_unit(uint32_t u) {
        if (high) {
            uint32_t h = high;
            high = 0;
            if (u >= 0xDC00 && u <= 0xDFFF) {
                put_utf8(0x10000 + ((h - 0xD800) << 10) + (u - 0xDC00));
                return;
            }
            put_utf8(' ');
        }
        if (u >= 0xD800 && u <= 0xDBFF)
            high = u;
        else if ((u >= 0xDC00 && u <= 0xDFFF) || u == 0)
            put_utf8(' ');
        else
            put_utf8(u);
    }

    void utf16(const char *p, int n) {
        const auto *b = reinterpret_cast<const unsigned char *>(p);
        for (int i = 0; i < n && !input_done; i++) {
            if (!have_odd) {
                odd = b[i];
                have_odd = true;
                continue;
            }
            have_odd = false;
            uint32_t u = kind == KIND_UTF16LE ? odd | (uint32_t{b[i]} << 8) : (uint32_t{odd} << 8) | b[i];
            if (!bom_done) {
                bom_done = true;
                if (u == 0xFEFF) continue; // the byte-order mark is no text
            }
            put_unit(u);
        }
    }
};

Decoder::Decoder() : s_(std::make_unique<State>()) {}
Decoder::~Decoder() = default;

void Decoder::begin(int kind, DecodedBlock sink, void *ctx, bool parallel) {
    s_ = std::make_unique<State>();
    s_->parallel = parallel;
    s_->kind = kind;
    s_->sink = sink;
    s_->ctx = ctx;
    // A document's text is what its reader says it is, whatever its first bytes look like.
    if (held_kind(kind)) s_->inner = kind == KIND_EPUB ? KIND_MARKUP : KIND_TEXT;
    if (kind == KIND_GZIP) {
        // 16 + MAX_WBITS: the gzip wrapper only.
        if (inflateInit2(&s_->z, 16 + MAX_WBITS) == Z_OK)
            s_->z_open = true;
        else {
            s_->problem = OS_ERR_NO_MEMORY;
            s_->input_done = true;
        }
    }
}

bool Decoder::feed(const char *p, int n) {
    if (s_->input_done || n <= 0) return !s_->input_done;
    if (s_->kind == KIND_GZIP)
        s_->gzip(p, n);
    else if (s_->kind == KIND_UTF16LE || s_->kind == KIND_UTF16BE)
        s_->utf16(p, n);
    else if (held_kind(s_->kind))
        s_->hold(p, n);
    return !s_->input_done;
}

int Decoder::end() {
    State &s = *s_;
    if (s.kind == KIND_GZIP && !s.input_done && s.z_started && !s.member_ended && (s.member_out || !s.any_member))
        s.problem = OS_ERR_DAMAGED; // the stream stops short of its end
    if ((s.kind == KIND_UTF16LE || s.kind == KIND_UTF16BE) && s.high && !s.input_done) {
        s.high = 0;
        s.put_utf8(' ');
    }
    if (held_kind(s.kind) && !s.input_done) s.read_held();
    s.flush(true);
    s.input_done = true;
    return s.problem;
}

int Decoder::problem() const { return s_->problem; }
bool Decoder::stopped() const { return s_->input_done; }

// ---- The indexing side ----

// Owned by the indexing thread; one file is decoded at a time, in file order.
static Decoder index_decoder;
static bool decoding = false;

static bool index_block(void *, uint32_t block, const char *data, int n, int kind, bool) {
    cur_block = static_cast<int>(block);
    extract_words(data, n, kind);
    return true;
}

bool content_words(const char *p, int n, int kind) {
    if (!decoded_kind(kind)) {
        extract_words(p, n, kind);
        return true;
    }
    if (!decoding) {
        index_decoder.begin(kind, index_block, nullptr, true);
        decoding = true;
    }
    return index_decoder.feed(p, n);
}

void content_end_file() {
    if (decoding) {
        decoding = false;
        int problem = index_decoder.end();
        if (problem != 0) note_unread(cur_fn, problem);
    }
    extract_end_file();
}

void content_reset() {
    decoding = false;
    extract_reset();
}
