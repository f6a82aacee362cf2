// Files whose words are read from decoded data: a gzip stream inflated as its blocks arrive, UTF-16
// text turned into UTF-8, documents (ZIP archives of XML, PDF) read whole at their end. The decoded text is cut into READ_SIZE blocks that count as the file's
// blocks (postings name them, excerpts read them again), detected like a file's own data and read
// by the text or markup tokenizer.
#ifndef OLMAREST_IDX_READ_DECODE_H
#define OLMAREST_IDX_READ_DECODE_H

#include <cstdint>
#include <memory>

#include "idx/kinds.h"

inline bool decoded_kind(int kind) { return kind >= KIND_GZIP && kind <= KIND_PDF; }
// Kinds read whole: their bytes are held as they arrive and read once the file has ended.
inline bool held_kind(int kind) { return kind >= KIND_ODF && kind <= KIND_PDF; }

constexpr uint64_t INFLATE_CAP = uint64_t{256} << 20; // decoded bytes read per file
extern uint64_t inflate_cap;                          // INFLATE_CAP; tests lower it
constexpr uint64_t HOLD_CAP = uint64_t{64} << 20;     // bytes of a document held to be read whole
extern uint64_t hold_cap;                             // HOLD_CAP; tests lower it

// Takes one block of decoded text: its number, bytes and kind (KIND_TEXT or KIND_MARKUP), and
// whether it is the file's last. Answers false to stop decoding.
using DecodedBlock = bool (*)(void *ctx, uint32_t block, const char *data, int n, int kind, bool last);

// One file's decoding state. A file whose decoded text is no text (a tar inside a gzip stream),
// or that reaches the cap, stops decoding; problem() then says why, as an OS_ERR_* code, when the
// file was not read whole.
class Decoder {
  public:
    Decoder();
    ~Decoder();
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    // parallel: a document may be read by more than one helper at once (an indexing run).
    void begin(int kind, DecodedBlock sink, void *ctx, bool parallel = false);
    // The next n bytes of the file. False once decoding has stopped: the rest need not be read.
    bool feed(const char *p, int n);
    // The file's data has ended: the last block goes out. Answers problem().
    int end();
    int problem() const;
    bool stopped() const;

  private:
    struct State;
    std::unique_ptr<State> s_;
};

// The indexing side, on the indexing thread: the words of the current file (cur_fn), kind e.g.
// KIND_GZIP, go to the tokenizers with cur_block set to each decoded block's number. An ordinary
// kind goes straight to extract_words. False when the file needs no more data.
bool content_words(const char *p, int n, int kind);
// The current file's data has ended: decoding ends, a problem is named in the run's report, and
// the tokenizers end the file (extract_end_file).
void content_end_file();
// Forgets the current file: decoder and tokenizers (extract_reset).
void content_reset();

#endif
