#include "imaging/formats/svgguard.h"

#include <gio/gio.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <zlib.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace imbrix::svgguard {

namespace {

// Entities that refer to each other this deep are refused; libxml2 itself
// stops at 40 when it substitutes them.
constexpr int kMaxEntityDepth = 64;

std::string sizeText(std::uint64_t bytes) {
    if (bytes >= 10 * 1024 * 1024) {
        return std::to_string(bytes / (1024 * 1024)) + " MiB";
    }
    if (bytes >= 10 * 1024) {
        return std::to_string(bytes / 1024) + " KiB";
    }
    return std::to_string(bytes) + " bytes";
}

bool isGzip(std::string_view data) {
    return data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0x1f &&
           static_cast<unsigned char>(data[1]) == 0x8b;
}

// The first gzip member of `data` into `out`, at most kMaxInflated bytes.
std::string inflateGzip(std::string_view data, std::string& out) {
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) {
        return "cannot inflate the compressed SVG document";
    }
    struct End {
        z_stream* zs;
        ~End() { inflateEnd(zs); }
    } end{&zs};
    out.clear();
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    std::size_t left = data.size();
    constexpr std::size_t kStep = 256 * 1024;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (zs.avail_in == 0) {
            if (left == 0) {
                return "the compressed SVG document is truncated";
            }
            const std::size_t give = std::min<std::size_t>(left, 1u << 30);
            zs.avail_in = static_cast<uInt>(give);
            left -= give;
        }
        if (out.size() >= kMaxInflated) {
            return "the compressed SVG document inflates to more than " + sizeText(kMaxInflated);
        }
        const std::size_t old = out.size();
        const std::size_t step = std::min(kStep, kMaxInflated - old);
        out.resize(old + step);
        zs.next_out = reinterpret_cast<Bytef*>(out.data() + old);
        zs.avail_out = static_cast<uInt>(step);
        status = inflate(&zs, Z_NO_FLUSH);
        out.resize(old + step - zs.avail_out);
        if (status == Z_BUF_ERROR && zs.avail_in == 0 && left == 0) {
            return "the compressed SVG document is truncated";
        }
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            return std::string("the compressed SVG document is damaged (") +
                   (zs.msg ? zs.msg : "inflate failed") + ")";
        }
    }
    return {};
}

struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct CtxtFree {
    void operator()(xmlParserCtxt* ctxt) const { xmlFreeParserCtxt(ctxt); }
};

// Adds up what the entity references of a document expand to.
class EntityCount {
public:
    EntityCount(xmlDoc* doc, std::uint64_t budget) : doc_(doc), budget_(budget) {}

    // Counts one reference; false when the document is to be refused.
    bool reference(const xmlChar* name) {
        xmlEntity* entity = xmlGetDocEntity(doc_, name);
        if (!entity) {
            return true;  // undeclared: librsvg substitutes nothing either
        }
        total_ = add(total_, expanded(entity, 0));
        if (!problem_.empty()) {
            return false;
        }
        if (total_ > budget_) {
            problem_ = "the SVG document's entity references expand to more than " +
                       sizeText(budget_) + " of text";
            return false;
        }
        return true;
    }

    const std::string& problem() const { return problem_; }

private:
    // Lengths are capped just above the budget: nothing beyond it matters.
    std::uint64_t add(std::uint64_t a, std::uint64_t b) const {
        return std::min(a + std::min(b, budget_ + 1), budget_ + 1);
    }

    // The length of the entity's text with every reference in it expanded.
    std::uint64_t expanded(xmlEntity* entity, int depth) {
        if (entity->etype == XML_INTERNAL_PREDEFINED_ENTITY) {
            return 1;
        }
        if (entity->etype != XML_INTERNAL_GENERAL_ENTITY) {
            problem_ = "the SVG document refers to an outside entity (" +
                       std::string(reinterpret_cast<const char*>(entity->name)) + ")";
            return 0;
        }
        if (const auto known = sizes_.find(entity); known != sizes_.end()) {
            return known->second;
        }
        if (depth > kMaxEntityDepth || open_.count(entity) != 0) {
            problem_ = "the SVG document's entities refer to each other without end";
            return 0;
        }
        open_.insert(entity);
        const std::string_view text =
            entity->content ? std::string_view(reinterpret_cast<const char*>(entity->content))
                            : std::string_view();
        std::uint64_t length = 0;
        std::size_t pos = 0;
        while (pos < text.size() && problem_.empty()) {
            const std::size_t amp = text.find('&', pos);
            if (amp == std::string_view::npos) {
                length = add(length, text.size() - pos);
                break;
            }
            length = add(length, amp - pos);
            const std::size_t semi = text.find(';', amp);
            if (semi == std::string_view::npos || text[amp + 1] == '#') {
                // A character reference, or a stray ampersand: a character or so.
                length = add(length, 1);
                pos = semi == std::string_view::npos ? text.size() : semi + 1;
                continue;
            }
            const std::string name(text.substr(amp + 1, semi - amp - 1));
            xmlEntity* inner =
                xmlGetDocEntity(doc_, reinterpret_cast<const xmlChar*>(name.c_str()));
            if (inner) {
                length = add(length, expanded(inner, depth + 1));
            }
            pos = semi + 1;
        }
        open_.erase(entity);
        sizes_[entity] = length;
        return length;
    }

    xmlDoc* doc_;
    std::uint64_t budget_;
    std::uint64_t total_ = 0;
    std::unordered_map<xmlEntity*, std::uint64_t> sizes_;
    std::unordered_set<xmlEntity*> open_;
    std::string problem_;
};

// Every entity reference of the document, in element content and in attribute
// values, counted; an empty string when they stay within the budget.
std::string countReferences(xmlDoc* doc, std::uint64_t budget) {
    EntityCount count(doc, budget);
    xmlNode* const top = reinterpret_cast<xmlNode*>(doc);
    xmlNode* node = doc->children;
    while (node && node != top) {
        bool descend = false;
        if (node->type == XML_ENTITY_REF_NODE) {
            if (!count.reference(node->name)) {
                return count.problem();
            }
        } else if (node->type == XML_ELEMENT_NODE) {
            for (xmlAttr* attr = node->properties; attr; attr = attr->next) {
                for (xmlNode* part = attr->children; part; part = part->next) {
                    if (part->type == XML_ENTITY_REF_NODE && !count.reference(part->name)) {
                        return count.problem();
                    }
                }
            }
            descend = true;
        }
        if (descend && node->children) {
            node = node->children;
            continue;
        }
        while (node && node != top && !node->next) {
            node = node->parent;
        }
        if (node && node != top) {
            node = node->next;
        }
    }
    return {};
}

std::string parseMessage(xmlParserCtxt* ctxt) {
    const xmlError* error = xmlCtxtGetLastError(ctxt);
    std::string text = error && error->message ? error->message : "the document is not well formed";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    if (error && error->line > 0) {
        text += " (line " + std::to_string(error->line) + ")";
    }
    return "XML parse error: " + text;
}

}  // namespace

std::uint64_t entityBudget(std::size_t documentSize) {
    return std::max<std::uint64_t>(kEntityAllowance, documentSize);
}

std::string checkDocument(std::string_view data, std::string& inflated) {
    inflated.clear();
    if (isGzip(data)) {
        std::string problem = inflateGzip(data, inflated);
        if (!problem.empty()) {
            inflated.clear();
            return problem;
        }
        data = inflated;
    }
    if (data.size() < 2) {
        return {};  // too short for anything: librsvg says so
    }
    if (data.size() > static_cast<std::size_t>(INT32_MAX)) {
        return "the SVG document is too large";
    }
    static std::once_flag init;
    std::call_once(init, [] { xmlInitParser(); });
    const std::unique_ptr<xmlParserCtxt, CtxtFree> ctxt(xmlNewParserCtxt());
    if (!ctxt) {
        return "not enough memory to read the SVG document";
    }
    // No entity substitution, no DTD loading, no network, nothing printed.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    const std::unique_ptr<xmlDoc, DocFree> doc(xmlCtxtReadMemory(
        ctxt.get(), data.data(), static_cast<int>(data.size()), nullptr, nullptr, options));
    if (!doc || !ctxt->wellFormed) {
        return parseMessage(ctxt.get());
    }
    return countReferences(doc.get(), entityBudget(data.size()));
}

HandlePtr openDocument(std::string_view data, std::string& problem) {
    std::string inflated;
    problem = checkDocument(data, inflated);
    if (!problem.empty()) {
        return nullptr;
    }
    const std::string_view document = inflated.empty() ? data : std::string_view(inflated);
    struct StreamUnref {
        void operator()(GInputStream* s) const { g_object_unref(s); }
    };
    const std::unique_ptr<GInputStream, StreamUnref> stream(g_memory_input_stream_new_from_data(
        document.data(), static_cast<gssize>(document.size()), nullptr));
    GError* error = nullptr;
    HandlePtr handle(rsvg_handle_new_from_stream_sync(stream.get(), nullptr, RSVG_HANDLE_FLAGS_NONE,
                                                      nullptr, &error));
    if (!handle) {
        problem = error && error->message ? error->message : "not a readable SVG document";
        while (!problem.empty() && (problem.back() == '\n' || problem.back() == ' ')) {
            problem.pop_back();
        }
        if (error) {
            g_error_free(error);
        }
        return nullptr;
    }
    rsvg_handle_set_dpi(handle.get(), 96.0);
    return handle;
}

}  // namespace imbrix::svgguard
