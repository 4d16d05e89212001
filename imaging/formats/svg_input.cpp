// SVG sources through librsvg, rendered by cairo straight into the raster.
#include <cairo.h>
#include <librsvg/rsvg.h>

#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "imaging/error.h"
#include "imaging/formats/inputs.h"
#include "imaging/formats/svgguard.h"

namespace imbrix::imaging::formats {

namespace {

// An SVG without a width and height is drawn at its viewBox size, and one
// without a viewBox either at the default size of a CSS replaced element.
constexpr double kDefaultWidth = 300.0;
constexpr double kDefaultHeight = 150.0;
// cairo's image surfaces end at 32767 pixels a side.
constexpr double kMaxSide = 32767.0;

struct SurfaceDestroy {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDestroy {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};

[[noreturn]] void fail(GError* error, const char* fallback) {
    std::string text = "SVG error: ";
    text += error && error->message ? error->message : fallback;
    // GLib's parser messages end in a line break.
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    if (error) {
        g_error_free(error);
    }
    throw Error(text);
}

// The picture's own size in pixels, rounded up to whole pixels.
void pictureSize(RsvgHandle* handle, double& width, double& height) {
    if (rsvg_handle_get_intrinsic_size_in_pixels(handle, &width, &height)) {
        return;
    }
    gboolean hasViewBox = FALSE;
    RsvgRectangle viewBox{};
    rsvg_handle_get_intrinsic_dimensions(handle, nullptr, nullptr, nullptr, nullptr, &hasViewBox,
                                         &viewBox);
    if (hasViewBox && viewBox.width > 0 && viewBox.height > 0) {
        width = viewBox.width;
        height = viewBox.height;
    } else {
        width = kDefaultWidth;
        height = kDefaultHeight;
    }
}

}  // namespace

Picture decodeSvg(Bytes data) {
    // Checked for entity bombs first, then read from memory without a base
    // file: relative references resolve to nothing, so no file or network
    // resource outside `data` is ever read.
    std::string problem;
    const svgguard::HandlePtr handle = svgguard::openDocument(
        std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), problem);
    if (!handle) {
        throw Error("SVG error: " + problem);
    }
    GError* error = nullptr;

    double width = 0;
    double height = 0;
    pictureSize(handle.get(), width, height);
    if (!(width > 0) || !(height > 0)) {
        throw Error("Picture has no pixels (0 x 0)");
    }
    width = std::ceil(width);
    height = std::ceil(height);
    if (width > kMaxSide || height > kMaxSide) {
        throw Error("SVG error: the picture is too large (" + std::to_string(width) + " x " +
                    std::to_string(height) + " pixels, at most 32767 a side)");
    }
    const auto w = static_cast<std::uint32_t>(width);
    const auto h = static_cast<std::uint32_t>(height);
    checkPictureSize(w, h);
    Raster picture(w, h);

    // cairo's ARGB32 is premultiplied, native-endian 32-bit: BGRA bytes here.
    const std::unique_ptr<cairo_surface_t, SurfaceDestroy> surface(
        cairo_image_surface_create_for_data(picture.data(), CAIRO_FORMAT_ARGB32,
                                            static_cast<int>(w), static_cast<int>(h),
                                            static_cast<int>(picture.stride())));
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
        throw Error("SVG error: cannot create the drawing surface");
    }
    const std::unique_ptr<cairo_t, ContextDestroy> cr(cairo_create(surface.get()));
    const RsvgRectangle viewport{0, 0, width, height};
    if (!rsvg_handle_render_document(handle.get(), cr.get(), &viewport, &error)) {
        fail(error, "the picture cannot be drawn");
    }
    cairo_surface_flush(surface.get());
    picture.premultiplied = true;
    return Picture{std::move(picture), {}};
}

}  // namespace imbrix::imaging::formats
