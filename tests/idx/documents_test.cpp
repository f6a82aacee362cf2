// Documents read whole: ZIP archives of XML (OpenDocument, Office Open XML, EPUB) and PDF through
// the helper process. Detection, the text in document order, hostile archives and XML, and searches
// with excerpts over real runs, with every document that could not be read named in the report.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "idx/read/decode.h"
#include "idx/read/files.h"
#include "idx/read/pdf.h"
#include "idx/read/pipeline.h"
#include "idx/read/zipdoc.h"
#include "idx/run.h"
#include "idx/text/detect.h"
#include "os/os.h"
#include "tests/test_util.h"

namespace {

int detect(const std::string &s, unsigned formats = FORMATS_ALL) {
    return detect_type_with(s.data(), static_cast<int>(s.size()), formats);
}

// The text of a document as read_zip_document gives it, and its problem.
struct Read {
    std::string text;
    int problem;
};
Read read_doc(int kind, const std::string &bytes) {
    Read r;
    r.problem = read_zip_document(kind, bytes.data(), bytes.size(), inflate_cap, [&](const char *p, size_t n) {
        r.text.append(p, n);
        return true;
    });
    return r;
}

// Paragraphs of made-up letter words, enough of them not to compress to nothing.
std::string many_words(int paragraphs, const char *open, const char *close) {
    std::string s;
    unsigned x = 7;
    for (int p = 0; p < paragraphs; p++) {
        s += open;
        for (int w = 0; w < 12; w++) {
            for (int c = 0; c < 6; c++) {
                x = x * 1103515245 + 12345;
                s += static_cast<char>('a' + (x >> 16) % 26);
            }
            s += ' ';
        }
        s += close;
    }
    return s;
}

std::string slide(const std::string &text) {
    return "<p:sld xmlns:p=\"urn:p\" xmlns:a=\"urn:a\"><p:txBody><a:p><a:r><a:t>" + text +
           "</a:t></a:r></a:p></p:txBody></p:sld>";
}

TEST(DocumentDetect, ZipDocumentsByTheirMembersAndPdfWhenTheirFormatsAreOn) {
    std::string odt = odt_bytes("<text:p>x</text:p>"), docx = docx_bytes(""), epub = epub_bytes({"x"});
    EXPECT_EQ(detect(odt), KIND_ODF);
    EXPECT_EQ(detect(epub), KIND_EPUB);
    EXPECT_EQ(detect(docx), KIND_OOXML);
    // [Content_Types].xml need not come first: a part of its own tells the format too.
    EXPECT_EQ(detect(zip_bytes({{"docProps/app.xml", "<x/>"}, {"xl/workbook.xml", "<w/>"}})), KIND_OOXML);
    // Other archives, and a mimetype of another kind, stay archives that are passed over.
    EXPECT_EQ(detect(zip_bytes({{"readme.txt", "plain words"}, {"src/main.c", "int main;"}})), KIND_ZIP);
    EXPECT_EQ(detect(zip_bytes({{"mimetype", "application/x-other"}, {"a.xml", "<a/>"}})), KIND_ZIP);
    EXPECT_EQ(detect(odt, FORMAT_GZIP | FORMAT_UTF16 | FORMAT_PDF), KIND_ZIP);
    std::string pdf = pdf_bytes({"words"});
    EXPECT_EQ(detect(pdf), KIND_PDF);
    EXPECT_EQ(detect(pdf, FORMAT_OFFICE), KIND_PRINT);
    EXPECT_EQ(detect("%!PS-Adobe-3.0 a print job"), KIND_PRINT);
    // A header cut off within the name is no archive member to read.
    EXPECT_EQ(detect(odt.substr(0, 34)), KIND_ZIP);

    unsigned f = 0;
    EXPECT_TRUE(parse_formats("office,pdf", &f));
    EXPECT_EQ(f, FORMAT_OFFICE | FORMAT_PDF);
    EXPECT_TRUE(parse_formats("all", &f));
    EXPECT_EQ(f, FORMATS_ALL);
    EXPECT_FALSE(parse_formats("office,docx", &f));
}

TEST(ZipDocument, RunsJoinedParagraphsAndCellsSeparatedStylesLeftOut) {
    Read odt = read_doc(KIND_ODF, odt_bytes("<text:h>Gannet</text:h><text:p>pango<text:span>lin</text:span> and"
                                            "<text:s/>caf&#233;<text:line-break/>more</text:p><table:table>"
                                            "<table:table-row><table:table-cell><text:p>cellone</text:p>"
                                            "</table:table-cell><table:table-cell><text:p>celltwo</text:p>"
                                            "</table:table-cell></table:table-row></table:table>"));
    EXPECT_EQ(odt.problem, 0);
    EXPECT_EQ(odt.text, "Gannet\npangolin and caf\xC3\xA9 more\ncellone\n\ncelltwo\n\n");

    // Only the text elements count: not the field codes, not the tab stops of paragraph settings.
    Read docx = read_doc(KIND_OOXML, docx_bytes("<w:p><w:pPr><w:tabs><w:tab w:val=\"left\"/></w:tabs></w:pPr>"
                                                "<w:r><w:t>Alba</w:t></w:r><w:r><w:rPr><w:b/></w:rPr><w:t>tross</w:t>"
                                                "</w:r><w:r><w:instrText>PAGEREF</w:instrText></w:r></w:p><w:tbl><w:tr>"
                                                "<w:tc><w:p><w:r><w:t>left</w:t></w:r></w:p></w:tc><w:tc><w:p><w:r>"
                                                "<w:t>right</w:t><w:tab/><w:t>tabbed</w:t></w:r></w:p></w:tc></w:tr>"
                                                "</w:tbl>"));
    EXPECT_EQ(docx.problem, 0);
    EXPECT_EQ(docx.text, " Albatross\nleft\n\nright tabbed\n\n");

    // Slides in their numbers' order whatever the archive's; a workbook's shared strings.
    Read pptx = read_doc(KIND_OOXML, zip_bytes({{"[Content_Types].xml", "<Types/>"},
                                                {"ppt/slides/slide10.xml", slide("Ten")},
                                                {"ppt/slides/slide1.xml", slide("One")},
                                                {"ppt/slides/_rels/slide1.xml.rels", "<Relationships/>"},
                                                {"ppt/slides/slide2.xml", slide("Two")}}));
    EXPECT_EQ(pptx.problem, 0);
    EXPECT_EQ(pptx.text, "One\nTwo\nTen\n");
    Read xlsx = read_doc(KIND_OOXML, zip_bytes({{"[Content_Types].xml", "<Types/>"},
                                                {"xl/sharedStrings.xml", "<sst><si><t>first</t></si><si><r><t>sec</t>"
                                                                         "</r><r><t>ond</t></r></si></sst>"}}));
    EXPECT_EQ(xlsx.text, "first\nsecond\n");

    // EPUB: the chapters' markup in spine order (the reverse of the archive's here).
    Read epub = read_doc(KIND_EPUB, epub_bytes({"alpha chapter", "beta chapter"}));
    EXPECT_EQ(epub.problem, 0);
    ASSERT_NE(epub.text.find("beta chapter"), std::string::npos);
    EXPECT_LT(epub.text.find("beta chapter"), epub.text.find("alpha chapter"));
}

// Thousands of slides or chapters, in an order of the archive's own: read in one pass (a walk per
// part would take the square of their number), put out in the document's order.
TEST(ZipDocument, ManyPartsComeOutInTheirOrder) {
    std::vector<std::pair<std::string, std::string>> m = {{"[Content_Types].xml", "<Types/>"}};
    std::string want;
    for (int i = 4000; i >= 1; i--) m.emplace_back("ppt/slides/slide" + std::to_string(i) + ".xml", slide("s" + std::to_string(i)));
    for (int i = 1; i <= 4000; i++) want += "s" + std::to_string(i) + "\n";
    Read r = read_doc(KIND_OOXML, zip_bytes(m));
    EXPECT_EQ(r.problem, 0);
    EXPECT_EQ(r.text, want);

    std::vector<std::string> chapters;
    for (int i = 0; i < 3000; i++) chapters.push_back("chapter" + std::to_string(i));
    r = read_doc(KIND_EPUB, epub_bytes(chapters));
    EXPECT_EQ(r.problem, 0);
    EXPECT_LT(r.text.find("chapter2999<"), r.text.find("chapter1500<"));
    EXPECT_LT(r.text.find("chapter1500<"), r.text.find("chapter0<"));
}

TEST(ZipDocument, HostileArchivesKeepTheWordsBeforeTheTroubleAndSayWhy) {
    // Entities declared in a part are refused, not expanded: the earlier slide's words stay.
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY a \"lol\"><!ENTITY b \"&a;&a;&a;&a;\">"
                         "<!ENTITY c \"&b;&b;&b;&b;\">]><p:sld xmlns:p=\"p\" xmlns:a=\"a\"><a:p><a:t>&c;</a:t></a:p></p:sld>";
    Read r = read_doc(KIND_OOXML, zip_bytes({{"[Content_Types].xml", "<Types/>"},
                                             {"ppt/slides/slide1.xml", slide("safe")},
                                             {"ppt/slides/slide2.xml", laughs},
                                             {"ppt/slides/slide3.xml", slide("after")}}));
    EXPECT_EQ(r.problem, OS_ERR_ENTITIES);
    EXPECT_EQ(r.text.find("lol"), std::string::npos);
    EXPECT_NE(r.text.find("safe"), std::string::npos);
    EXPECT_NE(r.text.find("after"), std::string::npos); // one bad part does not cost the others

    // A member that inflates past its cap.
    member_cap = 1 << 20;
    r = read_doc(KIND_OOXML, docx_bytes("<w:p><w:r><w:t>kittiwake" + std::string(8 << 20, ' ') + "</w:t></w:r></w:p>"));
    member_cap = MEMBER_CAP;
    EXPECT_EQ(r.problem, OS_ERR_MEMBER_TOO_BIG);
    EXPECT_EQ(r.text.substr(0, 9), "kittiwake");
    EXPECT_LE(r.text.size(), size_t{1} << 20);

    // All members together past the file's cap.
    uint64_t cap = inflate_cap;
    inflate_cap = 1 << 20;
    r = read_doc(KIND_EPUB, epub_bytes({"first " + std::string(700000, 'x'), "second " + std::string(700000, 'y')}));
    inflate_cap = cap;
    EXPECT_EQ(r.problem, OS_ERR_TOO_BIG);
    EXPECT_NE(r.text.find("second"), std::string::npos);

    // Cut short: the central directory is gone, the members before the cut are read.
    std::string doc = docx_bytes("<w:p><w:r><w:t>cormorant</w:t></w:r></w:p>" + many_words(3000, "<w:p><w:r><w:t>", "</w:t></w:r></w:p>"));
    r = read_doc(KIND_OOXML, doc.substr(0, doc.size() / 2));
    EXPECT_NE(r.problem, 0);
    EXPECT_EQ(r.text.substr(0, 9), "cormorant");
    EXPECT_GT(r.text.size(), 1000u);

    // Broken XML, a missing part, no archive at all: a problem, never a crash.
    EXPECT_EQ(read_doc(KIND_ODF, odt_bytes("<text:p>heron</text:q>")).problem, OS_ERR_DOC_DAMAGED);
    EXPECT_EQ(read_doc(KIND_ODF, zip_bytes({{"mimetype", "application/vnd.oasis.opendocument.text"}})).problem,
              OS_ERR_DOC_DAMAGED);
    EXPECT_EQ(read_doc(KIND_EPUB, "PK\x03\x04 and nothing more").problem, OS_ERR_DAMAGED);
    // An EPUB without its package file still gives its chapters.
    r = read_doc(KIND_EPUB, zip_bytes({{"mimetype", "application/epub+zip"}, {"a/one.xhtml", "<p>puffin</p>"}}));
    EXPECT_NE(r.text.find("puffin"), std::string::npos);
}

// Searches over real runs.
class Documents : public BuiltIndex {
  protected:
    void TearDown() override {
        set_formats(FORMATS_ALL);
        hold_cap = HOLD_CAP;
        member_cap = MEMBER_CAP;
        pdf_wall_ms = PDF_WALL_MS;
        pdf_split_min = PDF_SPLIT_MIN;
        engine_threads = 0;
        cancel_requested.store(false); // a cancelled run leaves it set until the next run starts
        unsetenv("OLMAREST_PDFTEXT_TEST");
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
    // Indexes the files; the index is loaded once the report has been looked at (a load lists the
    // tree again, which clears it).
    void index(const std::map<std::string, std::string> &files) {
        for (const auto &[name, data] : files) write("tree/" + name, data);
        ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    }
    void load() { ASSERT_EQ(read_idx(), 0) << idx_reason(); }
    std::vector<std::pair<std::string, int>> unread() {
        std::vector<std::pair<std::string, int>> v;
        for (const UnreadFile &u : unread_files) v.emplace_back(std::filesystem::path(u.path).filename().string(), u.error);
        return v;
    }
};

TEST_F(Documents, EachDocumentFoundByItsOwnWordWithItsExcerpt) {
    ASSERT_NE(*pdf_helper(), 0) << "olmarest-pdftext is not beside the test program";
    build({{"a.odt", odt_bytes("<text:h>Gannets</text:h><text:p>The pango<text:span>lin</text:span> sleeps</text:p>")},
           {"b.docx", docx_bytes("<w:p><w:r><w:t>An alba</w:t></w:r><w:r><w:t>tross flies</w:t></w:r></w:p>")},
           {"c.epub", epub_bytes({"the ocelot prowls", "the wombat digs"})},
           {"d.pdf", pdf_bytes({"first page of text", "Hello glob world"})},
           {"e.txt", "plain words only\n"}});
    EXPECT_EQ(unread(), (std::vector<std::pair<std::string, int>>{}));
    struct Want {
        const char *word, *name, *text;
        int kind;
    } wants[] = {
        {"pangolin", "a.odt", "nnets The pangolin sleeps  ... ", KIND_TEXT},
        {"albatross", "b.docx", "An albatross flies  ... ", KIND_TEXT},
        {"ocelot", "c.epub", "dy><p>the ocelot prowls</p ... ", KIND_MARKUP},
        {"glob", "d.pdf", "xt \fHello glob world \f ... ", KIND_TEXT},
    };
    for (const Want &w : wants) {
        SCOPED_TRACE(w.word);
        auto rows = search(w.word);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].name, w.name);
        EXPECT_EQ(rows[0].text, w.text);
        EXPECT_EQ(rows[0].kind, w.kind);
    }
    EXPECT_EQ(search("plain").size(), 1u);
}

TEST_F(Documents, DocumentsThatCannotBeReadAreNamedAndTheRunGoesOn) {
    member_cap = 1 << 20;
    hold_cap = 256 << 10;
    pdf_wall_ms = 3000;
    std::string pdf = pdf_bytes({"an intact page"});
    // An /Encrypt dictionary whose empty user password does not open it.
    std::string locked = pdf_bytes({"secret marmot"}, "/Encrypt << /Filter /Standard /V 1 /R 2 /P -4 /O <" +
                                                          std::string(64, 'a') + "> /U <" + std::string(64, 'b') +
                                                          "> >> /ID [<0123456789abcdef0123456789abcdef> "
                                                          "<0123456789abcdef0123456789abcdef>]");
    std::map<std::string, std::string> files = {
        {"a_bomb.docx", docx_bytes("<w:p><w:r><w:t>kittiwake" + std::string(8 << 20, ' ') + "</w:t></w:r></w:p>")},
        {"b_big.docx", docx_bytes(many_words(8000, "<w:p><w:r><w:t>", "</w:t></w:r></w:p>"))},
        {"c_damaged.pdf", "%PDF-1.4\n" + std::string(300, '#') + " no objects at all\n"},
        {"d_locked.pdf", locked},
        {"e_blank.pdf", pdf_bytes({"", ""})},
        {"f_fine.txt", "the puffin stays on shore\n"}};
    index(files);
    EXPECT_EQ(unread(), (std::vector<std::pair<std::string, int>>{{"a_bomb.docx", OS_ERR_MEMBER_TOO_BIG},
                                                                  {"b_big.docx", OS_ERR_HELD_TOO_BIG},
                                                                  {"c_damaged.pdf", OS_ERR_DOC_DAMAGED},
                                                                  {"d_locked.pdf", OS_ERR_ENCRYPTED},
                                                                  {"e_blank.pdf", OS_ERR_NO_TEXT}}));
    load();
    EXPECT_EQ(search("kittiwake").size(), 1u); // the words before the cap are kept
    EXPECT_EQ(search("marmot").size(), 0u);
    EXPECT_EQ(search("puffin").size(), 1u);

    // A helper that hangs after its first page is killed at its time: that page's words stay.
    setenv("OLMAREST_PDFTEXT_TEST", "hang", 1);
    std::filesystem::remove_all(tree());
    index({{"slow.pdf", pdf_bytes({"the heron wades", "the egret never shows"})}, {"x.txt", "the tern follows\n"}});
    EXPECT_EQ(unread(), (std::vector<std::pair<std::string, int>>{{"slow.pdf", OS_ERR_READER_STOPPED}}));
    load();
    EXPECT_EQ(search("heron").size(), 1u);
    EXPECT_EQ(search("egret").size(), 0u);
    EXPECT_EQ(search("tern").size(), 1u);
    // And one that crashes.
    setenv("OLMAREST_PDFTEXT_TEST", "crash", 1);
    std::filesystem::remove_all(tree());
    index({{"crash.pdf", pdf_bytes({"the plover runs", "the snipe hides"})}, {"x.txt", "the tern follows\n"}});
    EXPECT_EQ(unread(), (std::vector<std::pair<std::string, int>>{{"crash.pdf", OS_ERR_READER_STOPPED}}));
    load();
    EXPECT_EQ(search("plover").size(), 1u);
}

TEST_F(Documents, ACancelDoesNotWaitForAHelperAtWork) {
    setenv("OLMAREST_PDFTEXT_TEST", "hang", 1);
    write("tree/slow.pdf", pdf_bytes({"the heron wades", "the egret never shows"}));
    std::string dir = tree();
    auto start = std::chrono::steady_clock::now();
    ASSERT_GE(create_idx(dir.c_str()), 0) << idx_reason();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    cancel_idx();
    while (status_idx() == IDX_ACTIVE) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // A cancel that comes while the last file is read may let the run end; the file is named then.
    EXPECT_TRUE(idx_cancelled() || (unread_count == 1 && unread_files[0].error == OS_ERR_READER_STOPPED));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)); // the helper's time is 120 s
}

TEST_F(Documents, PdfPagesReadByTwoHelpersComeOutInPageOrder) {
    std::vector<std::string> pages;
    for (int i = 0; i < 9; i++) pages.push_back("page " + std::string(1, static_cast<char>('a' + i)) + " words");
    std::string pdf = pdf_bytes(pages);
    auto text_of = [&](int threads) {
        engine_threads = threads;
        std::string text;
        int problem = read_pdf(
            pdf.data(), pdf.size(), inflate_cap,
            [&](const char *p, size_t n) {
                text.append(p, n);
                return true;
            },
            true);
        EXPECT_EQ(problem, 0);
        return text;
    };
    pdf_split_min = 0;
    std::string one = text_of(1), two = text_of(2);
    EXPECT_EQ(one, two);
    EXPECT_LT(one.find("page a"), one.find("page e"));
    EXPECT_LT(one.find("page e"), one.find("page i"));

    // Both halves crash after their first page: only the first half's words count.
    setenv("OLMAREST_PDFTEXT_TEST", "crash", 1);
    std::string text;
    EXPECT_EQ(read_pdf(
                  pdf.data(), pdf.size(), inflate_cap,
                  [&](const char *p, size_t n) {
                      text.append(p, n);
                      return true;
                  },
                  true),
              OS_ERR_READER_STOPPED);
    EXPECT_NE(text.find("page a"), std::string::npos);
    EXPECT_EQ(text.find("page e"), std::string::npos);
}

TEST_F(Documents, FormatsWithoutOfficeAndPdfPassThemOver) {
    set_formats(FORMAT_GZIP | FORMAT_UTF16);
    build({{"a.odt", odt_bytes("<text:p>pangolin</text:p>")},
           {"d.pdf", pdf_bytes({"Hello glob world"})},
           {"e.txt", "the puffin stays\n"}});
    EXPECT_EQ(search("pangolin").size(), 0u);
    EXPECT_EQ(search("glob").size(), 0u);
    EXPECT_EQ(search("puffin").size(), 1u);
    EXPECT_EQ(unread_count, 0);
}

} // namespace
