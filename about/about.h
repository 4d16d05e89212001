// The About window's rules, free of any window: the falling letters ("rain"),
// the slide of the content panel, the drop-down menu's reopen rule and the links
// to the maker's site.
//
// The window (about/ui/aboutbox.h) owns one Rain, hands it a canvas on every
// timer step and shows whatever the canvas received.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace imbrix::about {

/// Cell size of the rain's grid, in pixels.
inline constexpr int kCharWidth = 8;
inline constexpr int kCharHeight = 12;
/// The table of drops never grows past this.
inline constexpr int kMaxDrops = 5000;
/// How many rows above its head a drop wipes its trail.
inline constexpr int kEraseDistance = 40;
/// The letters that fall.
inline constexpr std::string_view kRainChars = "kel";

/// One falling column head.
struct TDrop {
    int Column = 0;      ///< grid column, 0 .. matrixWidth - 1
    int Row = 0;         ///< grid row of the head, 0 .. matrixHeight + 1
    int Speed = 1;       ///< moves one row on steps that are a multiple of it (1..3)
    int Brightness = 0;  ///< 0 .. 99
};

struct RainColour {
    int red = 0;
    int green = 0;
    int blue = 0;
    friend bool operator==(const RainColour&, const RainColour&) = default;
};

/// The head's colour for a brightness (0..99): b = brightness * 255 / 100, then
/// red b * 150 / 255, green b, blue b * 100 / 255, integer division at each step.
RainColour HeadColour(int brightness);
/// The trail's colour: as the head's with b / 3 in place of b.
RainColour TrailColour(int brightness);

/// The grid row that a drop whose head is at `row` wipes: 40 rows above the head,
/// counted cyclically over matrixHeight + 1 rows.
int ErasedRow(int row, int matrixHeight);

/// Where the rain draws. Coordinates are pixels of the window's client area.
class RainCanvas {
public:
    virtual ~RainCanvas() = default;
    /// Paints the cell at (x, y), kCharWidth x kCharHeight, black.
    virtual void eraseCell(int x, int y) = 0;
    /// Paints `c` in `colour` on a black cell at (x, y).
    virtual void drawChar(char c, int x, int y, RainColour colour) = 0;
};

/// A number from low to high, both included.
using RandomRange = std::function<int(int low, int high)>;
/// A pseudo-random source seeded from the system's entropy.
RandomRange SystemRandom();

/// The rain: a grid of kCharWidth x kCharHeight cells over the window and up to
/// kMaxDrops drops, two per column.
class Rain {
public:
    explicit Rain(RandomRange random = SystemRandom());

    /// Starts over for a window of `bitmapWidth` x `bitmapHeight` pixels: the step
    /// counter goes to 0, the grid takes that size and the drops are seeded anew.
    void StartRain(int bitmapWidth, int bitmapHeight);
    /// Seeds the drops again on the grid taken by StartRain (the window's later
    /// size does not change the grid).
    void ResetRain();
    /// Empties the table and adds 2 x matrixWidth drops, two per column.
    void SeedDrops();
    /// Adds one drop in column DropCount mod matrixWidth at a random row, speed and
    /// brightness; does nothing once the table holds kMaxDrops.
    void AddDrop();
    /// One step: every drop draws a random letter, then moves when the step
    /// counter is a multiple of its speed, starting again at the top (new speed
    /// and brightness, same column) once it passes row matrixHeight + 1.
    void RainTick(RainCanvas& canvas);
    /// Draws letter `c` of `drop`: wipes the cell 40 rows above, draws the trail
    /// cell above the head (not on row 0) and the head.
    void DrawDropChar(const TDrop& drop, char c, RainCanvas& canvas) const;

    void setRainChars(std::string chars) { rainChars_ = std::move(chars); }
    const std::string& rainChars() const { return rainChars_; }

    int matrixWidth() const { return matrixWidth_; }
    int matrixHeight() const { return matrixHeight_; }
    int bitmapWidth() const { return bitmapWidth_; }
    int bitmapHeight() const { return bitmapHeight_; }
    int frameCounter() const { return frameCounter_; }
    const std::vector<TDrop>& drops() const { return drops_; }
    /// Replaces the table (for tests that need drops in given places).
    void setDrops(std::vector<TDrop> drops) { drops_ = std::move(drops); }

private:
    RandomRange random_;
    std::string rainChars_{kRainChars};
    int bitmapWidth_ = 0;
    int bitmapHeight_ = 0;
    int matrixWidth_ = 0;
    int matrixHeight_ = 0;
    int frameCounter_ = 0;
    std::vector<TDrop> drops_;
};

/// The content panel's slide to the right, 5 pixels a step.
inline constexpr int kSlideStep = 5;
struct SlideStep {
    int left = 0;       ///< the panel's new left edge
    bool done = false;  ///< the panel has left the client area: stop the timer
};
/// The next step from `left` in a client area `clientWidth` pixels wide.
SlideStep NextSlideStep(int left, int clientWidth);
/// The offset that centres `inner` pixels in `outer` ones (integer halves, as the
/// window's layout rounds them).
int CentredOffset(int outer, int inner);

/// The reopen rule of the Info button's drop-down menu: a click on the button
/// that closed its own menu less than 100 ms ago does not open it again.
/// Buttons and menus are compared by identity only.
class DropDownGate {
public:
    static constexpr std::uint32_t kReopenDelayMs = 100;

    /// Whether to show `menu` under `button` at tick `now`. When the same pair
    /// closed less than 100 ms ago (unsigned tick difference), forgets it and
    /// answers false.
    bool ShouldShow(const void* button, const void* menu, std::uint32_t now);
    /// The menu shown under `button` closed at tick `now`.
    void Closed(const void* button, const void* menu, std::uint32_t now);

private:
    const void* lastButton_ = nullptr;
    const void* lastMenu_ = nullptr;
    std::uint32_t closedAt_ = 0;
};

/// The addresses the window opens on the maker's site.
struct SiteLinks {
    std::string host;       ///< "www.imbrix.example"
    std::string home;       ///< "http://" + host + "/": the link under the panel
    std::string credits;    ///< "https://" + host + "/blog/credits-and-acknowledgements/"
    std::string uninstall;  ///< "http://" + host + "/blog/how-to-uninstall-kelvane-software/"
};
/// The links for a site address such as "https://www.imbrix.example/" (scheme,
/// path, query and user part are dropped; a port stays with the host). Empty
/// links when the address names no host.
SiteLinks LinksForSite(std::string_view site);

}  // namespace imbrix::about
