#include "idx/read/zipdoc.h"

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <archive.h>
#include <archive_entry.h>
#include <expat.h>

#include "idx/kinds.h"
#include "os/os.h"

uint64_t member_cap = MEMBER_CAP;

namespace {

constexpr size_t CHUNK = 65536;

// The archive held in memory, opened afresh for every walk over its members: a document's parts
// are wanted in an order of their own (spine, slide numbers), and holding every member inflated at
// once would cost more memory than reading the central directory again.
class Zip {
  public:
    Zip(const char *data, size_t n, uint64_t cap) : data_(data), n_(n), left_(cap) {}

    int problem = 0;     // the first OS_ERR_* met
    bool stopped = false; // reading ends: the taker said so, or the total cap

    // Goes through the members in archive order. want(name) answers whether to read the member;
    // its data then goes to take in pieces (false from take ends that member). With `single` the
    // walk ends after the first member read.
    void walk(const std::function<bool(const std::string &)> &want,
              const std::function<bool(const char *, size_t)> &take, bool single) {
        if (stopped) return;
        archive *a = open();
        if (!a) return;
        std::vector<char> buf(CHUNK);
        archive_entry *e;
        for (;;) {
            int r = archive_read_next_header(a, &e);
            if (r == ARCHIVE_EOF) break;
            // Damage ends this walk; another may still find the members before it.
            if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
                note(OS_ERR_DAMAGED);
                break;
            }
            const char *name = archive_entry_pathname_utf8(e);
            if (!name) name = archive_entry_pathname(e);
            if (!name || !want(name)) continue;
            uint64_t got = 0;
            bool damaged = false;
            for (;;) {
                la_ssize_t k = archive_read_data(a, buf.data(), buf.size());
                if (k == 0) break;
                if (k < 0) {
                    // Damaged data, or a member locked by a password: what came before is kept.
                    note(OS_ERR_DAMAGED);
                    damaged = true;
                    break;
                }
                auto n = static_cast<uint64_t>(k);
                if (n > left_) {
                    n = left_;
                    note(OS_ERR_TOO_BIG);
                    stopped = true;
                }
                bool member_full = false;
                if (got + n > member_cap) {
                    n = member_cap - got;
                    note(OS_ERR_MEMBER_TOO_BIG);
                    member_full = true;
                }
                got += n;
                left_ -= n;
                if (stopped || member_full || (n > 0 && !take(buf.data(), static_cast<size_t>(n)))) break;
            }
            if (stopped || single || damaged) break;
        }
        archive_read_free(a);
    }

    // A member's whole data (up to the caps); false when it is not there.
    bool member(const std::string &name, std::string *out) {
        bool found = false;
        walk([&](const std::string &m) { return !found && (found = m == name); },
             [&](const char *p, size_t n) {
                 out->append(p, n);
                 return true;
             },
             true);
        return found;
    }

    std::vector<std::string> names() {
        std::vector<std::string> v;
        walk([&](const std::string &m) {
                 v.push_back(m);
                 return false;
             },
             [](const char *, size_t) { return true; }, false);
        return v;
    }

    void note(int code) {
        if (problem == 0) problem = code;
    }

  private:
    archive *make(bool seekable) {
        archive *a = archive_read_new();
        if (!a) return nullptr;
        if (seekable)
            archive_read_support_format_zip_seekable(a);
        else
            archive_read_support_format_zip_streamable(a);
        if (archive_read_open_memory(a, data_, n_) == ARCHIVE_OK) return a;
        archive_read_free(a);
        return nullptr;
    }

    // The central directory is read when the archive has one; an archive cut short has none, and
    // is then read member by member from its start, as far as it goes.
    archive *open() {
        if (seekable_ < 0) {
            seekable_ = 0;
            if (archive *a = make(true)) {
                archive_entry *e;
                int r = archive_read_next_header(a, &e);
                seekable_ = r == ARCHIVE_OK || r == ARCHIVE_WARN || r == ARCHIVE_EOF;
                archive_read_free(a);
            }
        }
        archive *a = make(seekable_ == 1);
        if (!a) {
            note(OS_ERR_DAMAGED);
            stopped = true;
        }
        return a;
    }

    const char *data_;
    size_t n_;
    uint64_t left_;    // inflated bytes still allowed over all members
    int seekable_ = -1; // whether the seekable reader takes the archive: unknown, no, yes
};

// What an element's local name is, without its namespace prefix.
std::string_view local_name(const XML_Char *name) {
    std::string_view s(name);
    size_t colon = s.rfind(':');
    return colon == std::string_view::npos ? s : s.substr(colon + 1);
}

// An XML part read through expat as it is inflated. Text goes to put; elements to `start` when set.
class Xml {
  public:
    enum Mode { ODF_TEXT, OOXML_TEXT, ELEMENTS };
    using Start = std::function<void(std::string_view name, const XML_Char **attrs)>;

    Xml(Mode mode, const TextPut *put, Start start = nullptr) : mode_(mode), put_(put), start_(std::move(start)) {
        p_ = XML_ParserCreate(nullptr);
        if (!p_) return;
        XML_SetUserData(p_, this);
        XML_SetElementHandler(p_, on_start, on_end);
        XML_SetCharacterDataHandler(p_, on_text);
        // A document that declares entities is refused there: never expanded, so no nesting of
        // them can blow up (and no external one is fetched).
        XML_SetEntityDeclHandler(p_, on_entity);
    }
    ~Xml() {
        if (p_) XML_ParserFree(p_);
    }
    Xml(const Xml &) = delete;
    Xml &operator=(const Xml &) = delete;

    bool feed(const char *p, size_t n) {
        if (!p_) {
            problem = OS_ERR_NO_MEMORY;
            return false;
        }
        if (done_) return !halted;
        if (XML_Parse(p_, p, static_cast<int>(n), XML_FALSE) != XML_STATUS_OK) fail();
        return !halted;
    }
    void finish() {
        if (p_ && !done_ && XML_Parse(p_, "", 0, XML_TRUE) != XML_STATUS_OK) fail();
    }

    int problem = 0;
    bool halted = false; // the taker wants no more text

  private:
    void fail() {
        done_ = true;
        if (halted) return;
        problem = refused_ ? OS_ERR_ENTITIES : OS_ERR_DOC_DAMAGED;
    }
    void put(const char *s, size_t n) {
        if (!halted && put_ && !(*put_)(s, n)) {
            halted = true;
            XML_StopParser(p_, XML_FALSE);
        }
    }
    static void on_start(void *u, const XML_Char *name, const XML_Char **attrs) {
        auto *x = static_cast<Xml *>(u);
        std::string_view l = local_name(name);
        if (x->mode_ == ELEMENTS) {
            if (x->start_) x->start_(l, attrs);
        } else if (x->mode_ == ODF_TEXT) {
            if (l == "body") x->in_body_++;
            if (x->in_body_ > 0 && (l == "s" || l == "tab" || l == "line-break")) x->put(" ", 1);
        } else {
            if (l == "t") x->in_t_++;
            if (l == "tab" || l == "br" || l == "cr") x->put(" ", 1);
        }
    }
    static void on_end(void *u, const XML_Char *name) {
        auto *x = static_cast<Xml *>(u);
        std::string_view l = local_name(name);
        if (x->mode_ == ODF_TEXT) {
            if (x->in_body_ > 0 && (l == "p" || l == "h" || l == "table-cell" || l == "list-item")) x->put("\n", 1);
            if (l == "body" && x->in_body_ > 0) x->in_body_--;
        } else if (x->mode_ == OOXML_TEXT) {
            if (l == "t" && x->in_t_ > 0) x->in_t_--;
            if (l == "p" || l == "tc" || l == "si") x->put("\n", 1);
        }
    }
    static void on_text(void *u, const XML_Char *s, int len) {
        auto *x = static_cast<Xml *>(u);
        if ((x->mode_ == ODF_TEXT && x->in_body_ > 0) || (x->mode_ == OOXML_TEXT && x->in_t_ > 0))
            x->put(s, static_cast<size_t>(len));
    }
    static void on_entity(void *u, const XML_Char *, int, const XML_Char *, int, const XML_Char *, const XML_Char *,
                          const XML_Char *, const XML_Char *) {
        auto *x = static_cast<Xml *>(u);
        x->refused_ = true;
        XML_StopParser(x->p_, XML_FALSE);
    }

    XML_Parser p_ = nullptr;
    Mode mode_;
    const TextPut *put_;
    Start start_;
    int in_body_ = 0; // ODF: inside office:body
    int in_t_ = 0;    // OOXML: inside a text element (w:t, a:t, t)
    bool refused_ = false;
    bool done_ = false;
};

// Reads one XML member through x; the first problem of either goes to the zip's.
void read_xml(Zip &zip, const std::string &name, Xml &x) {
    bool found = false;
    zip.walk([&](const std::string &m) { return !found && (found = m == name); },
             [&](const char *p, size_t n) { return x.feed(p, n) && x.problem == 0; }, true);
    if (!found) {
        zip.note(OS_ERR_DOC_DAMAGED); // the part that holds the text is missing
        return;
    }
    x.finish();
    if (x.halted) zip.stopped = true;
    if (x.problem) zip.note(x.problem);
}

const char *attr(const XML_Char **attrs, std::string_view want) {
    for (int i = 0; attrs[i]; i += 2)
        if (local_name(attrs[i]) == want) return attrs[i + 1];
    return nullptr;
}

// An href of the package (percent-escaped, relative to the file that names it) as a member name.
std::string member_path(const std::string &base_dir, const std::string &href) {
    std::string h;
    for (size_t i = 0; i < href.size() && href[i] != '#'; i++) {
        auto hex = [](char c) {
            return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        };
        if (href[i] == '%' && i + 2 < href.size() && hex(href[i + 1]) >= 0 && hex(href[i + 2]) >= 0) {
            h += static_cast<char>(hex(href[i + 1]) * 16 + hex(href[i + 2]));
            i += 2;
        } else {
            h += href[i];
        }
    }
    std::vector<std::string> parts;
    std::string whole = h.empty() || h[0] != '/' ? base_dir + h : h.substr(1);
    size_t at = 0;
    while (at <= whole.size()) {
        size_t slash = whole.find('/', at);
        std::string part = whole.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    std::string out;
    for (const std::string &p : parts) out += (out.empty() ? "" : "/") + p;
    return out;
}

bool is_chapter_name(const std::string &n) {
    auto ends = [&](std::string_view s) {
        return n.size() >= s.size() && std::equal(s.rbegin(), s.rend(), n.rbegin(), [](char a, char b) {
                   return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b);
               });
    };
    return ends(".xhtml") || ends(".html") || ends(".htm") || ends(".xht");
}

// EPUB: META-INF/container.xml names the package file, whose spine orders the chapters. When that
// chain is broken the chapters are read in archive order.
void read_epub(Zip &zip, const TextPut &put) {
    std::string container, opf_name, opf;
    if (zip.member("META-INF/container.xml", &container)) {
        Xml x(Xml::ELEMENTS, nullptr, [&](std::string_view l, const XML_Char **attrs) {
            const char *path = attr(attrs, "full-path");
            if (l == "rootfile" && opf_name.empty() && path) opf_name = path;
        });
        x.feed(container.data(), container.size());
        x.finish();
    }
    std::vector<std::string> chapters;
    if (!opf_name.empty() && zip.member(opf_name, &opf)) {
        std::map<std::string, std::string> manifest;
        std::vector<std::string> spine;
        Xml x(Xml::ELEMENTS, nullptr, [&](std::string_view l, const XML_Char **attrs) {
            const char *id = attr(attrs, "id"), *href = attr(attrs, "href"), *idref = attr(attrs, "idref");
            if (l == "item" && id && href) manifest.emplace(id, href);
            if (l == "itemref" && idref) spine.emplace_back(idref);
        });
        x.feed(opf.data(), opf.size());
        x.finish();
        if (x.problem) zip.note(x.problem);
        size_t slash = opf_name.rfind('/');
        std::string dir = slash == std::string::npos ? "" : opf_name.substr(0, slash + 1);
        for (const std::string &id : spine) {
            auto it = manifest.find(id);
            if (it != manifest.end()) chapters.push_back(member_path(dir, it->second));
        }
    }
    if (zip.stopped) return;
    if (chapters.empty()) {
        zip.note(OS_ERR_DOC_DAMAGED);
        for (const std::string &n : zip.names())
            if (is_chapter_name(n)) chapters.push_back(n);
    }
    // One walk gathers the chapters (each once, however often the spine names it); they go out
    // in spine order. Walking once per chapter would cost the square of a large book's members.
    std::map<std::string, std::string> text;
    for (const std::string &c : chapters) text.emplace(c, std::string());
    std::string *cur = nullptr;
    zip.walk(
        [&](const std::string &m) {
            auto it = text.find(m);
            cur = it == text.end() ? nullptr : &it->second;
            return cur != nullptr && cur->empty();
        },
        [&](const char *p, size_t n) {
            cur->append(p, n);
            return true;
        },
        false);
    // What was read before a cap ended the walk still goes out.
    std::map<std::string, bool> sent;
    for (const std::string &c : chapters) {
        if (!sent.emplace(c, true).second) continue;
        const std::string &t = text[c];
        // Each chapter starts on a line of its own.
        if (!t.empty() && (!put(t.data(), t.size()) || !put("\n", 1))) break;
        std::string().swap(text[c]);
    }
}

// The number in ppt/slides/slideN.xml, or -1 for any other name.
long slide_number(const std::string &n) {
    constexpr std::string_view pre = "ppt/slides/slide", post = ".xml";
    if (n.size() <= pre.size() + post.size() || n.compare(0, pre.size(), pre) != 0 ||
        n.compare(n.size() - post.size(), post.size(), post) != 0)
        return -1;
    std::string digits = n.substr(pre.size(), n.size() - pre.size() - post.size());
    if (digits.empty() || digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    return std::stol(digits);
}

// Office Open XML: the text of the document, then of the slides in their numbers' order, then the
// workbook's shared strings. One walk reads every part (in whatever order the archive holds them)
// into text of its own, put out in that order afterwards.
void read_ooxml(Zip &zip, const TextPut &put) {
    std::string document, strings;
    std::map<long, std::string> slides;
    std::unique_ptr<Xml> x;
    std::string *cur = nullptr;
    TextPut to_cur = [&](const char *p, size_t n) {
        cur->append(p, n);
        return true;
    };
    auto finish = [&] {
        if (!x) return;
        x->finish();
        if (x->problem) zip.note(x->problem);
        x.reset();
    };
    bool any = false;
    zip.walk(
        [&](const std::string &m) {
            finish();
            long k = slide_number(m);
            if (m == "word/document.xml")
                cur = &document;
            else if (m == "xl/sharedStrings.xml")
                cur = &strings;
            else if (k >= 0 && !slides.count(k))
                cur = &slides[k];
            else
                return false;
            any = true;
            x = std::make_unique<Xml>(Xml::OOXML_TEXT, &to_cur);
            return true;
        },
        [&](const char *p, size_t n) { return x->feed(p, n) && x->problem == 0; }, false);
    finish();
    if (!any) zip.note(OS_ERR_DOC_DAMAGED); // no part that holds text
    // What was read before a cap ended the walk still goes out.
    bool halted = false;
    auto out = [&](std::string &t) {
        if (!halted && !t.empty() && !put(t.data(), t.size())) halted = true;
        std::string().swap(t);
    };
    out(document);
    for (auto &s : slides) out(s.second);
    out(strings);
}

} // namespace

int read_zip_document(int kind, const char *data, size_t n, uint64_t cap, const TextPut &put) {
    Zip zip(data, n, cap);
    if (kind == KIND_ODF) {
        Xml x(Xml::ODF_TEXT, &put);
        read_xml(zip, "content.xml", x);
    } else if (kind == KIND_OOXML) {
        read_ooxml(zip, put);
    } else if (kind == KIND_EPUB) {
        read_epub(zip, put);
    }
    return zip.problem;
}
