#include "tools/magick/svg.h"

#include <cairo.h>
#include <glib.h>
#include <librsvg/rsvg.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <memory>

#include "imaging/formats/svgguard.h"

namespace imbrix::magick {

namespace {

constexpr double kMaxSide = 16384;
constexpr double kMaxArea = 128.0 * 1024 * 1024;

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const {
        if (p) {
            Free(p);
        }
    }
};

void freeChars(gchar* text) {
    g_free(text);
}

using SurfacePtr =
    std::unique_ptr<cairo_surface_t, Deleter<cairo_surface_t, cairo_surface_destroy>>;
using CairoPtr = std::unique_ptr<cairo_t, Deleter<cairo_t, cairo_destroy>>;
using ErrorPtr = std::unique_ptr<GError, Deleter<GError, g_error_free>>;
using CharPtr = std::unique_ptr<gchar, Deleter<gchar, freeChars>>;

std::string messageOf(GError* error, const char* fallback) {
    ErrorPtr owned(error);
    return error && error->message ? std::string(error->message) : std::string(fallback);
}

std::uint32_t bigEndian32(const std::string& bytes, std::size_t at) {
    return (std::uint32_t{static_cast<unsigned char>(bytes[at])} << 24) |
           (std::uint32_t{static_cast<unsigned char>(bytes[at + 1])} << 16) |
           (std::uint32_t{static_cast<unsigned char>(bytes[at + 2])} << 8) |
           std::uint32_t{static_cast<unsigned char>(bytes[at + 3])};
}

}  // namespace

std::string renderSvgToPng(std::string_view svg, const std::string& pngPath) {
    std::string problem;
    const svgguard::HandlePtr handle = svgguard::openDocument(svg, problem);
    if (!handle) {
        return problem;
    }
    GError* error = nullptr;
    double width = 0;
    double height = 0;
    if (!rsvg_handle_get_intrinsic_size_in_pixels(handle.get(), &width, &height)) {
        // Only a viewBox (or nothing): take the viewBox size as pixels.
        gboolean hasWidth = FALSE, hasHeight = FALSE, hasViewBox = FALSE;
        RsvgLength w{}, h{};
        RsvgRectangle viewBox{};
        rsvg_handle_get_intrinsic_dimensions(handle.get(), &hasWidth, &w, &hasHeight, &h,
                                             &hasViewBox, &viewBox);
        if (!hasViewBox) {
            return "the SVG document gives no size";
        }
        width = viewBox.width;
        height = viewBox.height;
    }
    width = std::ceil(width);
    height = std::ceil(height);
    if (!(width >= 1 && height >= 1)) {
        return "the SVG document has an empty size";
    }
    if (width > kMaxSide || height > kMaxSide || width * height > kMaxArea) {
        return "the SVG document is too large (" + std::to_string(static_cast<long>(width)) + "x" +
               std::to_string(static_cast<long>(height)) + " pixels)";
    }
    SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(width),
                                                  static_cast<int>(height)));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
        return cairo_status_to_string(cairo_surface_status(surface.get()));
    }
    CairoPtr cr(cairo_create(surface.get()));
    const RsvgRectangle viewport{0, 0, width, height};
    if (!rsvg_handle_render_document(handle.get(), cr.get(), &viewport, &error)) {
        return messageOf(error, "the SVG document cannot be drawn");
    }
    cairo_surface_flush(surface.get());
    const cairo_status_t status = cairo_surface_write_to_png(surface.get(), pngPath.c_str());
    if (status != CAIRO_STATUS_SUCCESS) {
        return std::string("cannot write the rendered picture: ") + cairo_status_to_string(status);
    }
    return {};
}

std::string writeSvgWithPng(const std::string& pngPath, const std::string& svgPath) {
    std::ifstream in(pngPath, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    std::string png(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    in.seekg(0);
    if (size < 0 || !in.read(png.data(), size)) {
        return "cannot read the intermediate PNG";
    }
    // Signature, then the IHDR chunk: length 13, type, width, height.
    if (png.size() < 33 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 ||
        png.compare(12, 4, "IHDR") != 0) {
        return "the intermediate picture is not a PNG";
    }
    const std::uint32_t width = bigEndian32(png, 16);
    const std::uint32_t height = bigEndian32(png, 20);
    if (width == 0 || height == 0) {
        return "the intermediate PNG has no pixels";
    }
    CharPtr base64(g_base64_encode(reinterpret_cast<const guchar*>(png.data()), png.size()));
    const std::string w = std::to_string(width);
    const std::string h = std::to_string(height);

    std::ofstream out(svgPath, std::ios::binary | std::ios::trunc);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" "
           "xmlns:xlink=\"http://www.w3.org/1999/xlink\" version=\"1.1\" width=\""
        << w << "\" height=\"" << h << "\" viewBox=\"0 0 " << w << ' ' << h << "\">\n"
        << "<image width=\"" << w << "\" height=\"" << h
        << "\" preserveAspectRatio=\"none\" xlink:href=\"data:image/png;base64," << base64.get()
        << "\"/>\n"
        << "</svg>\n";
    out.close();
    if (!out) {
        return "cannot write the SVG document";
    }
    return {};
}

}  // namespace imbrix::magick
