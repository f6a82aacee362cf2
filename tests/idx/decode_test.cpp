// Files read from decoded data: gzip streams and UTF-16 text. Detection, the decoder's blocks
// however its input is cut, hostile streams, and searches with excerpts over real runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "idx/index.h"
#include "idx/read/decode.h"
#include "idx/read/files.h"
#include "idx/read/pipeline.h"
#include "idx/text/detect.h"
#include "idx/text/extract.h"
#include "os/os.h"
#include "tests/test_util.h"

namespace {

int detect(const std::string &s, unsigned formats = FORMATS_ALL) {
    return detect_type_with(s.data(), static_cast<int>(s.size()), formats);
}

TEST(DecodeDetect, SignaturesWhenTheirFormatIsOnAndTheOldAnswerWhenOff) {
    std::string gz = gzip_bytes("plain words of a compressed file\n");
    EXPECT_EQ(detect(gz), KIND_GZIP);
    EXPECT_EQ(detect(gz, FORMAT_UTF16), KIND_NONE); // NUL bytes in its header: binary, as always
    EXPECT_EQ(detect(gz.substr(0, 3)), KIND_NONE);   // too short for anything
    EXPECT_EQ(detect("\x1F\x8B\x07 not deflate at all"), KIND_TEXT);

    std::string le = utf16_bytes("Some words in UTF-16", true, true);
    std::string be = utf16_bytes("Some words in UTF-16", false, true);
    EXPECT_EQ(detect(le), KIND_UTF16LE);
    EXPECT_EQ(detect(be), KIND_UTF16BE);
    EXPECT_EQ(detect(utf16_bytes("Some words in UTF-16", true, false)), KIND_UTF16LE);
    EXPECT_EQ(detect(utf16_bytes("Some words in UTF-16", false, false)), KIND_UTF16BE);
    EXPECT_EQ(detect(le, FORMAT_GZIP), KIND_NONE);
    // Without a mark only plain ASCII-like units count: a NUL or a control unit is binary, and a
    // file with a single NUL stays binary.
    EXPECT_EQ(detect(utf16_bytes("Some words", true, false) + std::string(2, '\0') + "xxxxxx"), KIND_NONE);
    EXPECT_EQ(detect(std::string("text with one NUL\0 in it, long enough", 37)), KIND_NONE);
    EXPECT_EQ(detect(utf16_bytes("Hi", true, false)), KIND_NONE); // too few units to tell
    // A mark on fewer than 12 bytes is too little, as for any text.
    EXPECT_EQ(detect(utf16_bytes("Hi!", true, true)), KIND_NONE);
}

// What a decoder handed on, block by block.
struct Blocks {
    std::vector<std::string> data;
    std::vector<int> kinds;
    int lasts = 0;
};

bool collect(void *ctx, uint32_t block, const char *data, int n, int kind, bool last) {
    auto *b = static_cast<Blocks *>(ctx);
    EXPECT_EQ(block, b->data.size());
    b->data.emplace_back(data, static_cast<size_t>(n));
    b->kinds.push_back(kind);
    b->lasts += last;
    return true;
}

// Decodes bytes fed in pieces of random sizes; answers the problem.
int decode(int kind, const std::string &bytes, Blocks *out, unsigned seed = 1) {
    Decoder d;
    d.begin(kind, collect, out);
    std::mt19937 rng(seed);
    for (size_t at = 0; at < bytes.size();) {
        size_t n = std::min<size_t>(bytes.size() - at, 1 + rng() % 5000);
        if (!d.feed(bytes.data() + at, static_cast<int>(n))) break;
        at += n;
    }
    return d.end();
}

std::string joined(const Blocks &b) {
    std::string s;
    for (auto &d : b.data) s += d;
    return s;
}

std::string long_text(size_t bytes) {
    std::string s;
    for (unsigned i = 0; s.size() < bytes; i++) s += "line " + std::to_string(i) + " of the harbour log\n";
    s.resize(bytes);
    return s;
}

TEST(Decoder, GzipInBlocksOfReadSizeWhateverTheInputPieces) {
    std::string text = long_text(3 * READ_SIZE + 100);
    std::string gz = gzip_bytes(text);
    for (unsigned seed : {1u, 2u, 3u}) {
        Blocks b;
        EXPECT_EQ(decode(KIND_GZIP, gz, &b, seed), 0);
        ASSERT_EQ(b.data.size(), 4u);
        for (size_t i = 0; i < 3; i++) EXPECT_EQ(b.data[i].size(), READ_SIZE);
        EXPECT_EQ(joined(b), text);
        EXPECT_EQ(b.lasts, 1);
        EXPECT_EQ(b.kinds[0], KIND_TEXT);
    }
    // Exactly two blocks: the second is the last, and no empty block follows.
    Blocks b;
    EXPECT_EQ(decode(KIND_GZIP, gzip_bytes(long_text(2 * READ_SIZE)), &b), 0);
    ASSERT_EQ(b.data.size(), 2u);
    EXPECT_EQ(b.lasts, 1);
}

TEST(Decoder, GzipMembersFollowOneAnotherAndPaddingIsNoDamage) {
    Blocks b;
    std::string two = gzip_bytes("the first member's words\n") + gzip_bytes("and the second member's\n");
    EXPECT_EQ(decode(KIND_GZIP, two + std::string(512, '\0'), &b), 0);
    EXPECT_EQ(joined(b), "the first member's words\nand the second member's\n");
}

TEST(Decoder, DamagedAndCutShortStreamsKeepWhatCameBefore) {
    std::string text = long_text(5 * READ_SIZE);
    std::string gz = gzip_bytes(text, 0); // stored blocks: a cut in the middle keeps most of it
    Blocks cut;
    EXPECT_EQ(decode(KIND_GZIP, gz.substr(0, gz.size() / 2), &cut), OS_ERR_DAMAGED);
    EXPECT_GE(joined(cut).size(), 2 * READ_SIZE);
    EXPECT_EQ(joined(cut), text.substr(0, joined(cut).size()));
    EXPECT_EQ(cut.lasts, 1);

    std::string bad = gzip_bytes(text);
    for (size_t i = bad.size() / 2; i < bad.size() / 2 + 64; i++) bad[i] = static_cast<char>(bad[i] ^ 0x5A);
    Blocks damaged;
    EXPECT_EQ(decode(KIND_GZIP, bad, &damaged), OS_ERR_DAMAGED);

    Blocks header_only;
    EXPECT_EQ(decode(KIND_GZIP, gz.substr(0, 10), &header_only), OS_ERR_DAMAGED);
    EXPECT_TRUE(header_only.data.empty());
}

TEST(Decoder, InflatingStopsAtTheCap) {
    uint64_t kept = inflate_cap;
    inflate_cap = 100000;
    std::string bomb = gzip_bytes(std::string(8 << 20, 'a'), 9);
    EXPECT_LT(bomb.size(), 10000u); // a few KiB that would inflate to 8 MiB
    Blocks b;
    EXPECT_EQ(decode(KIND_GZIP, bomb, &b), OS_ERR_TOO_BIG);
    EXPECT_EQ(joined(b).size(), 100000u);
    inflate_cap = kept;
}

TEST(Decoder, DecodedDataThatIsNoTextIsPassedOver) {
    // A tar's header holds NUL bytes: not text, so no block is handed on and no more is read.
    std::string tar = "member.txt" + std::string(90, '\0') + long_text(READ_SIZE * 2);
    Decoder d;
    Blocks b;
    d.begin(KIND_GZIP, collect, &b);
    std::string gz = gzip_bytes(tar);
    d.feed(gz.data(), static_cast<int>(gz.size()));
    EXPECT_EQ(d.end(), 0);
    EXPECT_TRUE(b.data.empty());
    Blocks markup;
    decode(KIND_GZIP, gzip_bytes("<html><body>Quixotic marmalade</body></html>\n"), &markup);
    ASSERT_EQ(markup.kinds.size(), 1u);
    EXPECT_EQ(markup.kinds[0], KIND_MARKUP);
}

TEST(Decoder, Utf16BecomesUtf8WithPairsAndOddBytesAcrossPieces) {
    std::string text = "Caf\xC3\xA9 \xF0\x9F\x98\x80 na\xC3\xAFve \xE2\x82\xAC text, rather long\n";
    for (bool little : {true, false}) {
        for (bool bom : {true, false}) {
            for (unsigned seed = 1; seed < 20; seed++) {
                Blocks b;
                Decoder d;
                d.begin(little ? KIND_UTF16LE : KIND_UTF16BE, collect, &b);
                std::string bytes = utf16_bytes(text, little, bom);
                std::mt19937 rng(seed);
                for (size_t at = 0; at < bytes.size();) {
                    size_t n = std::min<size_t>(bytes.size() - at, 1 + rng() % 3);
                    d.feed(bytes.data() + at, static_cast<int>(n));
                    at += n;
                }
                EXPECT_EQ(d.end(), 0);
                EXPECT_EQ(joined(b), text);
            }
        }
    }
    // NULs and a surrogate without its pair separate words; an odd last byte is dropped.
    std::string odd = utf16_bytes("harbour", true, true) + std::string("\0\0\x00\xD8", 4) +
                      utf16_bytes("beacon", true, false) + std::string("\x00\xDC", 2) + "x";
    Blocks b;
    EXPECT_EQ(decode(KIND_UTF16LE, odd, &b), 0);
    EXPECT_EQ(joined(b), "harbour  beacon ");
}

// Searches over real runs.
class DecodedFiles : public BuiltIndex {
  protected:
    void TearDown() override {
        set_formats(FORMATS_ALL);
        inflate_cap = INFLATE_CAP;
        BuiltIndex::TearDown();
    }

    struct Row {
        std::string name, text;
        int kind;
    };
    std::vector<Row> search(const std::string &words) {
        query_idx(words.c_str());
        std::vector<Row> rows;
        char *p, *t;
        int f;
        while (next_result(&p, &f, &t) == 0)
            rows.push_back({std::filesystem::path(p).filename().string(), t, result_kind()});
        return rows;
    }

    std::vector<std::string> unread_names() {
        std::vector<std::string> v;
        for (const UnreadFile &u : unread_files) v.push_back(std::filesystem::path(u.path).filename().string());
        return v;
    }
};

TEST_F(DecodedFiles, EachFileFoundByItsOwnWordWithItsExcerpt) {
    // The gzip file's word lies in its fourth decoded block: its excerpt comes from there.
    std::string big = long_text(3 * READ_SIZE + 5000) + "the albatross circles the mast\n" + long_text(20000);
    build({{"log.txt.gz", gzip_bytes(big)},
           {"page.html.gz", gzip_bytes("<html><head><title>t</title></head><body><p>Quixotic "
                                       "<b>marmalade</b> &eacute;clair</p></body></html>\n")},
           {"le.txt", utf16_bytes("The caf\xC3\xA9 serves zabaglione daily.\n", true, true)},
           {"be.txt", utf16_bytes("The pangolin naps beneath ferns.\n", false, true)},
           {"plain.txt", utf16_bytes("Wombats dig burrows in the outback.\n", true, false)},
           {"other.txt", "nothing to see in this one here\n"}});
    EXPECT_EQ(unread_count, 0);
    struct Want {
        const char *word, *name, *text;
        int kind;
    } wants[] = {
        {"albatross", "log.txt.gz", "0 of tthe albatross circles t ... ", KIND_TEXT},
        // Markup excerpts are the bytes as they stand; the front ends show them as text.
        {"marmalade", "page.html.gz", "xotic <b>marmalade</b> &eacu ... ", KIND_MARKUP},
        {"eclair", "page.html.gz", "b> &eacute;clair</p></body ... ", KIND_MARKUP},
        {"zabaglione", "le.txt", "\xA9 serves zabaglione daily.  ... ", KIND_TEXT},
        {"cafe", "le.txt", "The caf\xC3\xA9 serves za ... ", KIND_TEXT},
        {"pangolin", "be.txt", "The pangolin naps bene ... ", KIND_TEXT},
        {"wombats", "plain.txt", "Wombats dig burro ... ", KIND_TEXT},
    };
    for (const Want &w : wants) {
        SCOPED_TRACE(w.word);
        auto rows = search(w.word);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].name, w.name);
        EXPECT_EQ(rows[0].text, w.text);
        EXPECT_EQ(rows[0].kind, w.kind);
    }
}

TEST_F(DecodedFiles, BombAndCutShortStreamAreNamedAndTheRunGoesOn) {
    inflate_cap = 1 << 20;
    std::string head = "the cormorant dives first\n";
    std::string cut = gzip_bytes(head + long_text(4 * READ_SIZE) + "the heron wades last\n", 0);
    write("tree/bomb.gz", gzip_bytes("the kittiwake nests " + std::string(16 << 20, ' '), 9));
    write("tree/cut.txt.gz", cut.substr(0, cut.size() - 3 * READ_SIZE));
    write("tree/fine.txt", "the puffin stays on shore\n");
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    EXPECT_EQ(unread_names(), (std::vector<std::string>{"bomb.gz", "cut.txt.gz"}));
    ASSERT_EQ(unread_files.size(), 2u);
    EXPECT_EQ(unread_files[0].error, OS_ERR_TOO_BIG);
    EXPECT_EQ(unread_files[1].error, OS_ERR_DAMAGED);
    ASSERT_EQ(read_idx(), 0) << idx_reason();
    EXPECT_EQ(search("kittiwake").size(), 1u); // the words before the cap are kept
    EXPECT_EQ(search("cormorant").size(), 1u); // and those before the cut
    EXPECT_EQ(search("heron").size(), 0u);
    EXPECT_EQ(search("puffin").size(), 1u);
}

TEST_F(DecodedFiles, FormatsNoneReadsEveryFileAsBefore) {
    set_formats(0);
    build({{"log.txt.gz", gzip_bytes("the albatross circles the mast\n")},
           {"le.txt", utf16_bytes("The zabaglione is served daily.\n", true, true)},
           {"fine.txt", "the puffin stays on shore\n"}});
    EXPECT_EQ(search("albatross").size(), 0u);
    EXPECT_EQ(search("zabaglione").size(), 0u);
    EXPECT_EQ(search("puffin").size(), 1u);
    EXPECT_EQ(unread_count, 0);
}

} // namespace
