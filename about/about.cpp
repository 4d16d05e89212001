#include "about/about.h"

#include <algorithm>
#include <memory>
#include <random>

namespace imbrix::about {
namespace {

RainColour ColourFor(int b) {
    return RainColour{b * 150 / 255, b, b * 100 / 255};
}

}  // namespace

RainColour HeadColour(int brightness) {
    return ColourFor(brightness * 255 / 100);
}

RainColour TrailColour(int brightness) {
    return ColourFor(brightness * 255 / 100 / 3);
}

int ErasedRow(int row, int matrixHeight) {
    const int rows = std::max(matrixHeight, 0) + 1;
    int e = row - kEraseDistance;
    // A remainder rather than repeated additions, so any row gives an answer at once.
    e %= rows;
    if (e < 0)
        e += rows;
    return e;
}

RandomRange SystemRandom() {
    auto engine = std::make_shared<std::mt19937>(std::random_device{}());
    return [engine](int low, int high) {
        if (high <= low)
            return low;
        return std::uniform_int_distribution<int>(low, high)(*engine);
    };
}

Rain::Rain(RandomRange random) : random_(random ? std::move(random) : SystemRandom()) {}

void Rain::StartRain(int bitmapWidth, int bitmapHeight) {
    frameCounter_ = 0;
    bitmapWidth_ = std::max(bitmapWidth, 0);
    bitmapHeight_ = std::max(bitmapHeight, 0);
    ResetRain();
}

void Rain::ResetRain() {
    matrixWidth_ = bitmapWidth_ / kCharWidth;
    matrixHeight_ = bitmapHeight_ / kCharHeight;
    SeedDrops();
}

void Rain::SeedDrops() {
    drops_.clear();
    drops_.reserve(static_cast<std::size_t>(std::min(2 * matrixWidth_, kMaxDrops)));
    for (int i = 0; i < 2 * matrixWidth_; ++i) {
        AddDrop();
    }
}

void Rain::AddDrop() {
    // A window too narrow for one cell has no columns to put a drop in.
    if (static_cast<int>(drops_.size()) >= kMaxDrops || matrixWidth_ <= 0)
        return;
    TDrop drop;
    drop.Column = static_cast<int>(drops_.size()) % matrixWidth_;
    drop.Row = random_(0, std::max(matrixHeight_ - 1, 0));
    drop.Speed = random_(1, 3);
    drop.Brightness = random_(0, 99);
    drops_.push_back(drop);
}

void Rain::RainTick(RainCanvas& canvas) {
    for (TDrop& drop : drops_) {
        if (!rainChars_.empty()) {
            const int pick = random_(0, static_cast<int>(rainChars_.size()) - 1);
            DrawDropChar(drop, rainChars_[static_cast<std::size_t>(pick)], canvas);
        }
        if (frameCounter_ % drop.Speed == 0) {
            ++drop.Row;
            if (drop.Row > matrixHeight_ + 1) {
                drop.Row = 0;
                drop.Speed = random_(1, 3);
                drop.Brightness = random_(0, 99);
            }
        }
    }
    ++frameCounter_;
}

void Rain::DrawDropChar(const TDrop& drop, char c, RainCanvas& canvas) const {
    const int x = drop.Column * kCharWidth;
    canvas.eraseCell(x, ErasedRow(drop.Row, matrixHeight_) * kCharHeight);
    if (drop.Row > 0) {
        canvas.drawChar(c, x, (drop.Row - 1) * kCharHeight, TrailColour(drop.Brightness));
    }
    canvas.drawChar(c, x, drop.Row * kCharHeight, HeadColour(drop.Brightness));
}

SlideStep NextSlideStep(int left, int clientWidth) {
    SlideStep step;
    step.left = left + kSlideStep;
    step.done = step.left > clientWidth;
    return step;
}

int CentredOffset(int outer, int inner) {
    return (outer - inner) / 2;
}

bool DropDownGate::ShouldShow(const void* button, const void* menu, std::uint32_t now) {
    if (button == lastButton_ && menu == lastMenu_ && button != nullptr &&
        static_cast<std::uint32_t>(now - closedAt_) < kReopenDelayMs) {
        lastButton_ = nullptr;
        lastMenu_ = nullptr;
        return false;
    }
    return true;
}

void DropDownGate::Closed(const void* button, const void* menu, std::uint32_t now) {
    lastButton_ = button;
    lastMenu_ = menu;
    closedAt_ = now;
}

SiteLinks LinksForSite(std::string_view site) {
    std::string_view rest = site;
    if (const auto scheme = rest.find("://"); scheme != std::string_view::npos) {
        rest.remove_prefix(scheme + 3);
    }
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
        rest.remove_prefix(at + 1);
    }
    SiteLinks links;
    if (rest.empty())
        return links;
    links.host = std::string(rest);
    links.home = "http://" + links.host + "/";
    links.credits = "https://" + links.host + "/blog/credits-and-acknowledgements/";
    links.uninstall = "http://" + links.host + "/blog/how-to-uninstall-kelvane-software/";
    return links;
}

}  // namespace imbrix::about
