// Fuzz target: documents that are ZIP archives of XML (OpenDocument, Office Open XML, EPUB) through
// the decoder (see decode_check.h for what is checked), and that no entity is ever expanded.
// Input: byte 0 picks the kind (bits 0-1) and whether the rest is XML to be wrapped as the part
// that holds the text (bit 2; else it is the archive itself), bytes 1-4 seed the split, the rest
// is the data.
#include <string>
#include <utility>
#include <vector>

#include "fuzz/decode_check.h"
#include "idx/read/zipdoc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5 || size > (1u << 20)) return 0;
    static const int KINDS[] = {KIND_ODF, KIND_OOXML, KIND_EPUB, KIND_OOXML};
    int kind = KINDS[data[0] & 3];
    member_cap = 1u << 20;
    std::string input(reinterpret_cast<const char *>(data + 1), size - 1);
    if (data[0] & 4) {
        std::string xml = input.substr(4);
        std::vector<std::pair<std::string, std::string>> m;
        if (kind == KIND_ODF) {
            m = {{"mimetype", "application/vnd.oasis.opendocument.text"}, {"content.xml", xml}};
        } else if (kind == KIND_EPUB) {
            // The XML is the package file, its chapter a fixed one.
            m = {{"mimetype", "application/epub+zip"},
                 {"META-INF/container.xml", "<container><rootfiles><rootfile full-path=\"p.opf\"/></rootfiles></container>"},
                 {"p.opf", xml},
                 {"c.xhtml", "<p>chapter words</p>"}};
        } else {
            m = {{"[Content_Types].xml", "<Types/>"}, {(data[0] & 8) ? "ppt/slides/slide1.xml" : "word/document.xml", xml}};
        }
        std::string zip = fuzz_stored_zip(m);
        input = input.substr(0, 4) + zip;
        fuzz_decode_both(kind, reinterpret_cast<const uint8_t *>(input.data()), input.size());
        if (kind != KIND_EPUB) {
            // Entities are never expanded: the text is never longer than the XML it came from
            // (every element, reference and character gives at most as many bytes as it takes).
            FuzzDecoded whole;
            fuzz_decode(kind, zip.data(), zip.size(), nullptr, &whole);
            if (whole.text.size() > xml.size()) __builtin_trap();
        }
        return 0;
    }
    fuzz_decode_both(kind, reinterpret_cast<const uint8_t *>(input.data()), input.size());
    return 0;
}
