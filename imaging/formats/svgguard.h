// SVG documents made safe to hand to librsvg, for both places that render SVG:
// the imaging layer's decoder and the converter front.
//
// librsvg 2.54 on libxml2 2.9.14 substitutes internal entities without any
// bound on how much text they add: a document of 160 KB whose one long entity is
// referenced 20,000 times grows into gigabytes. The check here reads the
// document with libxml2 without substituting anything (no DTD loaded, no
// network), adds up what every entity reference would expand to and refuses a
// document whose references add more text than the document itself holds. The
// rendering then reads from memory, without a base file, so that no reference
// (image, XInclude, outside entity) reaches any other file.
#pragma once

#include <librsvg/rsvg.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace imbrix::svgguard {

/// The largest document a compressed (.svgz) source may inflate to.
inline constexpr std::size_t kMaxInflated = 64u * 1024 * 1024;
/// Text that entity references may add to any document, however small; beyond
/// it they may add as much as the document's own size.
inline constexpr std::uint64_t kEntityAllowance = 64u * 1024;

/// The text that entity references of a document of `documentSize` bytes may
/// add at most: kEntityAllowance or the document's size, whichever is larger.
std::uint64_t entityBudget(std::size_t documentSize);

/// Checks the SVG document `data` (plain or gzip-compressed). Returns an empty
/// string when librsvg may read it, otherwise the reason ("the SVG document's
/// entities expand to more than ..."). A compressed document is inflated into
/// `inflated` (at most kMaxInflated bytes), which is then the document to render;
/// otherwise `inflated` is left empty. A document libxml2 cannot read is
/// refused with its message ("XML parse error: ...").
std::string checkDocument(std::string_view data, std::string& inflated);

struct HandleUnref {
    void operator()(RsvgHandle* handle) const { g_object_unref(handle); }
};
using HandlePtr = std::unique_ptr<RsvgHandle, HandleUnref>;

/// checkDocument(), then a librsvg handle on the document read from memory,
/// without a base file: relative and absolute references resolve to nothing.
/// Lengths in physical units are taken at 96 pixels per inch. Returns null and
/// sets `problem` when the document is refused or librsvg cannot read it.
HandlePtr openDocument(std::string_view data, std::string& problem);

}  // namespace imbrix::svgguard
