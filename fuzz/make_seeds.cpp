// Writes the seed corpora of the fuzz targets into DIR/<target>/ (normally fuzz/corpus):
// extract (texts of every kind), stemmer (words), search (query words), idx_load (index files
// made by real runs over the fixed tree, with and without stop words) and catalogue (the catalogue
// of such a run, and its table given an image's and a disc's volume). Run it again when the
// idx.dat format or the tree's fingerprint changes: stale index seeds no longer load.
#include <cstdio>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_util.h"
#include "idx/catalogue.h"
#include "idx/index.h"

static std::string out_dir;

static void seed(const std::string &target, const std::string &name, const std::string &data) {
    fuzz_write(out_dir + "/" + target + "/" + name, data);
}

// An extract input: control byte (kind, detect, filter), four bytes of split seed, then the data.
static void extract_seed(const std::string &name, int control, const std::string &data) {
    seed("extract", name, std::string(1, static_cast<char>(control)) + "\x11\x22\x33\x44" + data);
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    out_dir = std::filesystem::absolute(argv[1]).string();

    extract_seed("text", 0, "The lighthouse keeper walked to the harbour. Exam-\nple, exam-\r\nples\n");
    extract_seed("text_filter", 8, "Words and more words, a plausible English sentence with letters.");
    extract_seed("long_words", 0, std::string(40, 'a') + " " + std::string(31, 'b') + "-" + std::string(33, 'c'));
    extract_seed("latin1", 0, "\xDC" "ber die Stra\xDF" "e, M\xFC" "ller und Gr\xF6\xDF" "e; caf\xE9 d'or mp3player");
    extract_seed("utf8", 0, "\xC3\x9C" "ber die Stra\xC3\x9F" "e, M\xC3\xBC" "ller, caf\xC3\xA9");
    extract_seed("markup", 1,
                 "<html><body>M&uuml;ller &amp; Stra&szlig;e a&nbsp;b &quot;R&amp;D&quot; "
                 "<!-- hidden --> W\0O\0R\0D\0 &Auml;rger &#228; &lt;tag&gt;</body></html>");
    extract_seed("markup_detect", 4, "  <?xml version=\"1.0\"?><doc>harbour <b>bold</b> text-\nwrapped</doc>");
    std::string tag = std::string(72, '\xFF') + "TAG" + std::string("Harbour Lights") + std::string(16, '\0') +
                      "The Keeper" + std::string(20, '\0') + "Storm songs" + std::string(19, '\0') + "1999" +
                      "recorded near the lighthouse" + std::string(2, '\0') + "\x0c";
    extract_seed("audio_tag", 2, tag);
    extract_seed("audio_detect", 4, "\xFF\xFB\x90\x00" + tag);
    extract_seed("audio_short", 2, "short audio piece read as text");
    extract_seed("zip", 4, std::string("PK\x03\x04", 4) + "compressed words");
    extract_seed("pdf", 4, "%PDF-1.4 obj stream endobj");
    extract_seed("binary", 3, std::string("\x00\x01\x02word\x7f\x80\xff", 10) + "mixed text");

    // zipdoc: control byte (kind; 4: the rest is XML to wrap), four bytes of split seed, the data.
    auto zipdoc_seed = [](const std::string &name, int control, const std::string &data) {
        seed("zipdoc", name, std::string(1, static_cast<char>(control)) + "\x11\x22\x33\x44" + data);
    };
    zipdoc_seed("odt", 0, fuzz_stored_zip({{"mimetype", "application/vnd.oasis.opendocument.text"},
                                           {"content.xml", "<?xml version=\"1.0\"?><office:document-content><office:body>"
                                                           "<text:h>Harbour</text:h><text:p>light<text:span>house</text:span>"
                                                           "<text:s/>keeper</text:p></office:body></office:document-content>"}}));
    zipdoc_seed("docx", 1, fuzz_stored_zip({{"[Content_Types].xml", "<Types/>"},
                                            {"word/document.xml", "<w:document><w:body><w:p><w:r><w:t>light</w:t></w:r>"
                                                                  "<w:r><w:t>house</w:t></w:r></w:p><w:tbl><w:tr><w:tc><w:p>"
                                                                  "<w:r><w:t>cell</w:t><w:tab/></w:r></w:p></w:tc></w:tr>"
                                                                  "</w:tbl></w:body></w:document>"}}));
    zipdoc_seed("pptx", 3, fuzz_stored_zip({{"[Content_Types].xml", "<Types/>"},
                                            {"ppt/slides/slide2.xml", "<p:sld><a:p><a:t>second</a:t></a:p></p:sld>"},
                                            {"ppt/slides/slide1.xml", "<p:sld><a:p><a:t>first</a:t></a:p></p:sld>"},
                                            {"xl/sharedStrings.xml", "<sst><si><t>shared</t></si></sst>"}}));
    zipdoc_seed("epub", 2, fuzz_stored_zip({{"mimetype", "application/epub+zip"},
                                            {"META-INF/container.xml", "<container><rootfiles><rootfile "
                                                                       "full-path=\"OEBPS/p.opf\"/></rootfiles></container>"},
                                            {"OEBPS/p.opf", "<package><manifest><item id=\"a\" href=\"t/a%20b.xhtml\"/>"
                                                            "<item id=\"b\" href=\"../b.xhtml#x\"/></manifest><spine>"
                                                            "<itemref idref=\"b\"/><itemref idref=\"a\"/></spine></package>"},
                                            {"OEBPS/t/a b.xhtml", "<html><body><p>harbour</p></body></html>"},
                                            {"b.xhtml", "<html><body><script>x</script><p>keeper</p></body></html>"}}));
    zipdoc_seed("xml_odf", 4, "<?xml version=\"1.0\"?><d><office:body><text:p>caf&#233; &amp; <text:tab/>"
                              "more</text:p></office:body></d>");
    zipdoc_seed("xml_entities", 5, "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"lol\"><!ENTITY b \"&a;&a;&a;\">]>"
                                   "<w:document><w:p><w:t>&b;</w:t></w:p></w:document>");
    zipdoc_seed("xml_slide", 13, "<p:sld><a:p><a:r><a:t>slide</a:t></a:r><a:br/><a:r><a:t>text</a:t></a:r></a:p></p:sld>");
    zipdoc_seed("xml_opf", 6, "<package><manifest><item id=\"c\" href=\"c.xhtml\"/></manifest><spine><itemref "
                              "idref=\"c\"/><itemref idref=\"c\"/></spine></package>");

    int nword = 0;
    for (const char *w : {"RUNNING", "HOPEFULNESS", "GENERALIZATIONS", "ÄRGERLICH", "STRAßE", "CONFLATED",
                          "RELATIONAL", "TROUBLES", "YYYY", "SKIES", "ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÜß"}) {
        std::string bytes;
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(w); *p; p++) {
            unsigned char c = *p;
            if (c == 0xC3) { // the UTF-8 of this source file: the next byte names the letter
                c = static_cast<unsigned char>(*++p + 0x40);
            }
            int code = c >= 'A' && c <= 'Z' ? c - 'A' : c == 0xC4 ? 26 : c == 0xD6 ? 27 : c == 0xDC ? 28 : 29;
            bytes += static_cast<char>(code);
        }
        seed("stemmer", "word" + std::to_string(++nword), bytes);
    }

    seed("search", "one", "lighthouse");
    seed("search", "three", std::string("harbour\0keeper\0storm", 20));
    seed("search", "utf8", std::string("M\xC3\xBCller\0\xC3\xBC" "ber\0stra\xC3\x9F" "e", 20));
    seed("search", "latin1", "Gr\xF6\xDF" "e B\xFC" "cher");
    seed("search", "many", "needle straddle tidewater shipmast beacon");
    seed("search", "tag", "songs keeper");

    std::string work = fuzz_scratch() + "/seeds";
    fuzz_make_tree(work + "/tree");
    fuzz_in_dir(work, [] {
        fuzz_trigrams(false);
        // Each seed must load, or the fuzzer would rarely get past the checks of a load.
        if (fuzz_index("tree", nullptr) != 2 || read_idx() != 0) __builtin_trap();
        seed("idx_load", "plain", read_file_bytes("idx.dat"));
        if (fuzz_index("tree", "the and of a to harbour\n") != 2 || read_idx() != 0) __builtin_trap();
        seed("idx_load", "stops", read_file_bytes("idx.dat"));
        // Catalogues: the run's own (a folder), and the same table as an image's and a disc's.
        seed("catalogue", "folder", read_file_bytes("idx.files"));
        CatalogueView view;
        std::string made = read_file_bytes("idx.files"), why;
        if (!decode_catalogue(reinterpret_cast<const uint8_t *>(made.data()), made.size(), &view, &why))
            __builtin_trap();
        CatalogueVolume vol = view.volume;
        vol.kind = VolumeKind::image;
        vol.device = "/nonexistent/shelf/harbour.iso";
        vol.root = vol.device;
        vol.volume_id = "HARBOUR_2024";
        vol.created = "2024010112000000";
        vol.blocks = 4096;
        vol.image_size = 8388608;
        vol.image_mtime = 1700000000;
        seed("catalogue", "image", encode_catalogue(view.tie, vol));
        vol.kind = VolumeKind::disc;
        vol.root = "/media/cdrom";
        vol.device = "/dev/sr0";
        vol.subtree = "docs";
        seed("catalogue", "disc", encode_catalogue(view.tie, vol));
    });
    return 0;
}
