#include "tests/test_util.h"

#include "cli/commands.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <zlib.h>

#include "idx/text/extract.h"
#include "idx/index.h"
#include "idx/read/cdfs.h"
#include "idx/read/files.h"
#include "idx/idxdir.h"
#include "idx/read/pipeline.h"
#include "idx/text/stemmer.h"
#include "os/os.h"

namespace fs = std::filesystem;

void TempTree::SetUp() {
    old_cwd_ = fs::current_path().string();
    std::string tmpl = (fs::temp_directory_path() / "olmarest-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    fs::current_path(root_);
    fs::create_directory(tree());
}

void TempTree::TearDown() {
    fs::current_path(old_cwd_);
    std::error_code ec;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto &e : fs::recursive_directory_iterator(root_, fs::directory_options::skip_permission_denied, ec))
        if (!e.is_symlink()) fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
}

void TempTree::write(const std::string &rel, const std::string &data) {
    fs::path p = fs::path(root_) / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
}

void TempTree::mkdir(const std::string &rel) { fs::create_directories(fs::path(root_) / rel); }

void TempTree::remove(const std::string &rel) { fs::remove_all(fs::path(root_) / rel); }

int TempTree::index_tree(const std::string &dir) {
    static std::string keep;
    keep = dir;
    if (create_idx(keep.c_str()) == -1) return -1;
    int st;
    while ((st = status_idx()) == 1) os_sleep_ms(1);
    return st;
}

void EngineTree::SetUp() {
    TempTree::SetUp();
    load_trigrams("/nonexistent");
    set_idx_dir("");
    pass_log = false;
}

void EngineTree::TearDown() {
    os_sys = os_sys_default;
    TempTree::TearDown();
}

void BuiltIndex::SetUp() {
    TempTree::SetUp();
    load_trigrams("/nonexistent");
}

void BuiltIndex::build(const std::map<std::string, std::string> &files) {
    for (auto &[name, data] : files) write("tree/" + name, data);
    ASSERT_EQ(index_tree(tree()), 2) << idx_reason();
    ASSERT_EQ(read_idx(), 0) << idx_reason();
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void MappedIndex::SetUp() {
    TempTree::SetUp();
    load_trigrams("/nonexistent");
    reset_pools();
    ASSERT_EQ(map_idx_write(), 0);
    header = static_cast<IdxHeader *>(mem_alloc(sizeof(IdxHeader), true));
    ASSERT_NE(header, nullptr);
    header->base = idx_origin();
    ASSERT_EQ(tbl_init(word_table), 0);
    reset_recording();
}

void MappedIndex::TearDown() {
    close_idx_file();
    TempTree::TearDown();
}

int feed_word(const char *word) {
    char buf[MAX_WORD + 1] = {};
    size_t len = strlen(word);
    memcpy(buf, word, len);
    return add_word(buf, static_cast<int>(len));
}

uint32_t key_of(const char *word) {
    char buf[MAX_WORD + 1] = {};
    int len = static_cast<int>(strlen(word));
    memcpy(buf, word, static_cast<size_t>(len));
    stem_word(buf, len);
    return word_key(buf, len);
}

uint32_t u32_at(const std::string &bytes, size_t ofs) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | static_cast<uint8_t>(bytes.at(ofs + static_cast<size_t>(i)));
    return v;
}

bool select_io_backend(const std::string &name) {
    if (name == "sync")
        setenv("OLMAREST_IO", "sync", 1);
    else
        unsetenv("OLMAREST_IO");
    os_set_io_backend(nullptr);
    return name == os_io_backend();
}

void program_defaults() {
    word_sink = add_word;
    extract_reset();
    char dir[OS_PATH_MAX];
    std::string table = os_program_dir(dir, sizeof dir) ? std::string(dir) + "/trigram_freqs.dat" : "";
    load_trigrams(table.empty() ? nullptr : table.c_str());
}

static std::string slurp_file(FILE *f) {
    std::string s;
    rewind(f);
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    fclose(f);
    return s;
}

CliResult run_cli(const std::vector<std::string> &args) {
    std::vector<std::string> words{"olmarest-cli"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    program_defaults();
    FILE *out = tmpfile(), *err = tmpfile();
    if (!out || !err) return {-1, "", "no temporary file"};
    int code = cli_run(static_cast<int>(words.size()), argv.data(), out, err);
    return {code, slurp_file(out), slurp_file(err)};
}

int run_files(const std::string &dir) {
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        n += e.path().filename().string().rfind("idx.dat.tmp", 0) == 0;
    return n;
}

// data deflated in one go; window_bits as deflateInit2 takes them (16 + 15: a gzip stream, -15: raw).
static std::string deflate_bytes(const std::string &data, int level, int window_bits) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string gzip_bytes(const std::string &data, int level) { return deflate_bytes(data, level, 16 + MAX_WBITS); }

std::string utf16_bytes(const std::string &text, bool little, bool bom) {
    std::u32string cps;
    for (size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        int n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
        for (int k = 1; k < n; k++) c = (c << 6) | (static_cast<unsigned char>(text[i + static_cast<size_t>(k)]) & 0x3F);
        cps.push_back(c);
        i += static_cast<size_t>(n);
    }
    std::string out;
    auto unit = [&](unsigned u) {
        char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
        out += little ? lo : hi;
        out += little ? hi : lo;
    };
    if (bom) unit(0xFEFF);
    for (char32_t c : cps) {
        if (c >= 0x10000) {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            unit(c);
        }
    }
    return out;
}

// ---- Documents ----

static void put16(std::string &s, unsigned v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
static void put32(std::string &s, uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

// Written by hand, as the archivers people use write them (sizes in the local headers, a central
// directory at the end): libarchive's writer cannot store one member and deflate the next.
std::string zip_bytes(const std::vector<std::pair<std::string, std::string>> &members) {
    std::string out, dir;
    for (const auto &[name, data] : members) {
        bool store = name == "mimetype";
        std::string packed = store ? data : deflate_bytes(data, 6, -MAX_WBITS);
        auto crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size())));
        auto ofs = static_cast<uint32_t>(out.size());
        std::string common;
        put16(common, 20);             // version needed
        put16(common, 0);              // flags
        put16(common, store ? 0 : 8);  // method
        put32(common, 0x00210000);     // time and date: 1980-01-01
        put32(common, crc);
        put32(common, static_cast<uint32_t>(packed.size()));
        put32(common, static_cast<uint32_t>(data.size()));
        put16(common, static_cast<unsigned>(name.size()));
        put16(common, 0);              // extra
        out += "PK\x03\x04" + common + name + packed;
        dir += "PK\x01\x02";
        put16(dir, 20);                // made by
        dir += common;
        put16(dir, 0);                 // comment
        put16(dir, 0);                 // disk
        put16(dir, 0);                 // internal attributes
        put32(dir, 0);                 // external attributes
        put32(dir, ofs);
        dir += name;
    }
    auto dir_ofs = static_cast<uint32_t>(out.size());
    out += dir + "PK\x05\x06";
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<unsigned>(members.size()));
    put16(out, static_cast<unsigned>(members.size()));
    put32(out, static_cast<uint32_t>(dir.size()));
    put32(out, dir_ofs);
    put16(out, 0);
    return out;
}

std::string odt_bytes(const std::string &body) {
    return zip_bytes({{"mimetype", "application/vnd.oasis.opendocument.text"},
                      {"content.xml", "<?xml version=\"1.0\"?><office:document-content "
                                      "xmlns:office=\"urn:o\" xmlns:text=\"urn:t\" xmlns:table=\"urn:tb\">"
                                      "<office:automatic-styles><style name=\"P1\">stylename</style>"
                                      "</office:automatic-styles><office:body><office:text>" +
                                          body + "</office:text></office:body></office:document-content>"}});
}

std::string docx_bytes(const std::string &body) {
    return zip_bytes({{"[Content_Types].xml", "<Types xmlns=\"urn:ct\"/>"},
                      {"word/document.xml", "<?xml version=\"1.0\"?><w:document xmlns:w=\"urn:w\"><w:body>" + body +
                                                "</w:body></w:document>"}});
}

std::string epub_bytes(const std::vector<std::string> &chapters) {
    std::vector<std::pair<std::string, std::string>> m = {
        {"mimetype", "application/epub+zip"},
        {"META-INF/container.xml", "<?xml version=\"1.0\"?><container xmlns=\"urn:c\"><rootfiles>"
                                   "<rootfile full-path=\"OEBPS/book.opf\"/></rootfiles></container>"}};
    std::string manifest, spine;
    // The spine reads the chapters backwards; the archive holds them forwards.
    for (size_t i = 0; i < chapters.size(); i++) {
        std::string id = "c" + std::to_string(i);
        manifest += "<item id=\"" + id + "\" href=\"text/ch%20" + std::to_string(i) + ".xhtml\"/>";
        spine = "<itemref idref=\"" + id + "\"/>" + spine;
        m.emplace_back("OEBPS/text/ch " + std::to_string(i) + ".xhtml",
                       "<?xml version=\"1.0\"?><html><body><p>" + chapters[i] + "</p></body></html>");
    }
    m.emplace_back("OEBPS/book.opf", "<?xml version=\"1.0\"?><package><manifest>" + manifest + "</manifest><spine>" +
                                         spine + "</spine></package>");
    return zip_bytes(m);
}

std::string pdf_bytes(const std::vector<std::string> &pages, const std::string &trailer_extra) {
    std::vector<std::string> objs;
    size_t n = pages.size();
    std::string kids;
    for (size_t i = 0; i < n; i++) kids += std::to_string(3 + 2 * i) + " 0 R ";
    objs.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    objs.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n) + " >>");
    std::string font = std::to_string(3 + 2 * n);
    for (size_t i = 0; i < n; i++) {
        objs.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 400 300] /Resources << /Font << /F1 " + font +
                       " 0 R >> >> /Contents " + std::to_string(4 + 2 * i) + " 0 R >>");
        std::string s = pages[i].empty() ? "0 0 m 10 10 l S" : "BT /F1 12 Tf 20 150 Td (" + pages[i] + ") Tj ET";
        objs.push_back("<< /Length " + std::to_string(s.size()) + " >>\nstream\n" + s + "\nendstream");
    }
    objs.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    std::string out = "%PDF-1.4\n";
    std::vector<size_t> offs;
    for (size_t i = 0; i < objs.size(); i++) {
        offs.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj\n" + objs[i] + "\nendobj\n";
    }
    size_t xref = out.size();
    out += "xref\n0 " + std::to_string(objs.size() + 1) + "\n0000000000 65535 f \n";
    char line[32];
    for (size_t o : offs) {
        snprintf(line, sizeof line, "%010zu 00000 n \n", o);
        out += line;
    }
    out += "trailer\n<< /Size " + std::to_string(objs.size() + 1) + " /Root 1 0 R " + trailer_extra +
           " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    return out;
}
