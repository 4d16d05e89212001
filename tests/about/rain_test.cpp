// The About window's rain: seeding, steps, the erased cell, colours.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "about/about.h"

using namespace imbrix::about;

namespace {

// A random source that always answers the low or the high end of the range it is
// asked for, and remembers every range.
struct EdgeRandom {
    bool high = false;
    std::vector<std::pair<int, int>> asked;
    RandomRange source() {
        return [this](int low, int top) {
            asked.emplace_back(low, top);
            return high ? top : low;
        };
    }
};

struct Drawn {
    enum Kind { Erase, Char } kind;
    char c;
    int x;
    int y;
    RainColour colour;
};

class RecordingCanvas : public RainCanvas {
public:
    std::vector<Drawn> drawn;
    void eraseCell(int x, int y) override { drawn.push_back({Drawn::Erase, 0, x, y, {}}); }
    void drawChar(char c, int x, int y, RainColour colour) override {
        drawn.push_back({Drawn::Char, c, x, y, colour});
    }
};

}  // namespace

TEST(RainSeed, TwoDropsPerColumnInColumnOrderForTheWindowSize) {
    EdgeRandom random;
    Rain rain(random.source());
    rain.StartRain(446, 374);
    EXPECT_EQ(rain.matrixWidth(), 55);
    EXPECT_EQ(rain.matrixHeight(), 31);
    ASSERT_EQ(rain.drops().size(), 110u);
    for (std::size_t i = 0; i < rain.drops().size(); ++i) {
        EXPECT_EQ(rain.drops()[i].Column, static_cast<int>(i % 55)) << "drop " << i;
    }
    EXPECT_EQ(rain.frameCounter(), 0);
}

TEST(RainSeed, RandomRangesForRowSpeedAndBrightness) {
    struct Case {
        bool high;
        int row, speed, brightness;
    };
    // A grid of 31 rows: heads start on rows 0..30, speeds 1..3, brightness 0..99.
    for (const Case& c : {Case{false, 0, 1, 0}, Case{true, 30, 3, 99}}) {
        EdgeRandom random;
        random.high = c.high;
        Rain rain(random.source());
        rain.StartRain(446, 374);
        for (const TDrop& drop : rain.drops()) {
            EXPECT_EQ(drop.Row, c.row);
            EXPECT_EQ(drop.Speed, c.speed);
            EXPECT_EQ(drop.Brightness, c.brightness);
        }
        ASSERT_EQ(random.asked.size(), 3 * rain.drops().size());
        EXPECT_EQ(random.asked[0], std::make_pair(0, 30));
        EXPECT_EQ(random.asked[1], std::make_pair(1, 3));
        EXPECT_EQ(random.asked[2], std::make_pair(0, 99));
    }
}

TEST(RainSeed, TableStopsAtItsLimitAndTinyWindowsGetNoDrops) {
    EdgeRandom random;
    Rain wide(random.source());
    wide.StartRain(kCharWidth * 3000, 120);  // 6000 drops wanted
    ASSERT_EQ(wide.drops().size(), static_cast<std::size_t>(kMaxDrops));
    EXPECT_EQ(wide.drops()[2999].Column, 2999);
    EXPECT_EQ(wide.drops()[3000].Column, 0);
    wide.AddDrop();
    EXPECT_EQ(wide.drops().size(), static_cast<std::size_t>(kMaxDrops));

    // Narrower than one cell, or without height: no column to fall in, and a
    // step draws nothing rather than dividing by zero.
    for (const auto& [width, height] : {std::pair{7, 374}, std::pair{0, 0}, std::pair{-5, -5}}) {
        Rain tiny(random.source());
        tiny.StartRain(width, height);
        EXPECT_TRUE(tiny.drops().empty()) << width << "x" << height;
        tiny.AddDrop();
        EXPECT_TRUE(tiny.drops().empty());
        RecordingCanvas canvas;
        tiny.RainTick(canvas);
        EXPECT_TRUE(canvas.drawn.empty());
    }
    // A window lower than one row still seeds its columns, all on row 0.
    Rain flat(random.source());
    flat.StartRain(80, 5);
    ASSERT_EQ(flat.drops().size(), 20u);
    EXPECT_EQ(flat.drops()[0].Row, 0);
}

TEST(RainSeed, ResetKeepsTheGridTakenAtStart) {
    EdgeRandom random;
    Rain rain(random.source());
    rain.StartRain(446, 374);
    RecordingCanvas canvas;
    rain.RainTick(canvas);
    rain.RainTick(canvas);
    rain.ResetRain();
    EXPECT_EQ(rain.matrixWidth(), 55);
    EXPECT_EQ(rain.matrixHeight(), 31);
    EXPECT_EQ(rain.drops().size(), 110u);
    EXPECT_EQ(rain.frameCounter(), 2) << "only a new start sets the step counter back";
    rain.StartRain(160, 120);
    EXPECT_EQ(rain.frameCounter(), 0);
    EXPECT_EQ(rain.drops().size(), 40u);
}

TEST(RainTick, DropsMoveOnStepsThatAreMultiplesOfTheirSpeed) {
    EdgeRandom random;
    Rain rain(random.source());
    rain.StartRain(80, 600);  // 50 rows: nothing reaches the bottom in six steps
    rain.setDrops({{0, 5, 1, 50}, {1, 5, 2, 50}, {2, 5, 3, 50}});
    // Steps 0..5: speed 1 moves on all six, speed 2 on 0, 2, 4, speed 3 on 0, 3.
    const int expectedRows[][3] = {{6, 6, 6}, {7, 6, 6},  {8, 7, 6},
                                   {9, 7, 7}, {10, 8, 7}, {11, 8, 7}};
    RecordingCanvas canvas;
    for (const auto& expected : expectedRows) {
        rain.RainTick(canvas);
        for (int d = 0; d < 3; ++d) {
            EXPECT_EQ(rain.drops()[static_cast<std::size_t>(d)].Row, expected[d])
                << "speed " << d + 1 << " after step " << rain.frameCounter();
        }
    }
    EXPECT_EQ(rain.frameCounter(), 6);
}

TEST(RainTick, DropPastTheLastRowStartsAgainAtTheTopInItsColumn) {
    EdgeRandom random;
    random.high = true;
    Rain rain(random.source());
    rain.StartRain(80, 120);  // 10 rows: heads run from 0 to 11
    rain.setDrops({{4, 10, 1, 20}, {5, 11, 1, 20}, {6, 11, 2, 20}});
    RecordingCanvas canvas;
    rain.RainTick(canvas);
    const auto& drops = rain.drops();
    EXPECT_EQ(drops[0].Row, 11) << "row matrixHeight + 1 is still on its way";
    EXPECT_EQ(drops[0].Speed, 1);
    // Past matrixHeight + 1: top row, fresh speed and brightness, same column.
    EXPECT_EQ(drops[1].Row, 0);
    EXPECT_EQ(drops[1].Column, 5);
    EXPECT_EQ(drops[1].Speed, 3);
    EXPECT_EQ(drops[1].Brightness, 99);
    EXPECT_EQ(drops[2].Row, 0) << "step 0 is a multiple of every speed";
}

TEST(RainTick, EveryDropDrawsOneOfTheRainLettersEachStep) {
    Rain rain(SystemRandom());
    rain.StartRain(446, 374);
    RecordingCanvas canvas;
    std::set<char> letters;
    for (int step = 0; step < 20; ++step) {
        canvas.drawn.clear();
        rain.RainTick(canvas);
        int erased = 0;
        for (const Drawn& d : canvas.drawn) {
            if (d.kind == Drawn::Erase) {
                ++erased;
            } else {
                letters.insert(d.c);
            }
        }
        EXPECT_EQ(erased, 110) << "one erased cell per drop";
        for (const TDrop& drop : rain.drops()) {
            ASSERT_GE(drop.Row, 0);
            ASSERT_LE(drop.Row, rain.matrixHeight() + 1);
        }
    }
    EXPECT_EQ(letters, (std::set<char>{'k', 'e', 'l'}));
}

TEST(RainDraw, HeadTrailAndTheCellFortyRowsAbove) {
    struct Case {
        TDrop drop;
        int matrixHeight;
        int erasedRow;
        bool trail;
    };
    const Case cases[] = {
        {{3, 50, 1, 60}, 60, 10, true},  // plain: 40 rows above
        {{3, 0, 1, 60}, 60, 21, false},  // top row: no trail, erase counted from the bottom
        {{0, 1, 2, 99}, 60, 22, true},
        // Fewer than 40 + 1 rows: 40 mod 31 = 9 rows above, cyclically.
        {{7, 0, 1, 10}, 30, 22, false},
        {{7, 31, 1, 10}, 30, 22, true},
        {{1, 5, 1, 10}, 10, 9, true},  // 40 mod 11 = 7 rows above row 5
    };
    for (const Case& c : cases) {
        Rain rain([](int low, int) { return low; });
        rain.StartRain(kCharWidth * 10, kCharHeight * c.matrixHeight);
        ASSERT_EQ(rain.matrixHeight(), c.matrixHeight);
        EXPECT_EQ(ErasedRow(c.drop.Row, c.matrixHeight), c.erasedRow)
            << "row " << c.drop.Row << " of " << c.matrixHeight;
        RecordingCanvas canvas;
        rain.DrawDropChar(c.drop, 'e', canvas);
        const int x = c.drop.Column * kCharWidth;
        ASSERT_EQ(canvas.drawn.size(), c.trail ? 3u : 2u);
        EXPECT_EQ(canvas.drawn[0].kind, Drawn::Erase);
        EXPECT_EQ(canvas.drawn[0].x, x);
        EXPECT_EQ(canvas.drawn[0].y, c.erasedRow * kCharHeight);
        if (c.trail) {
            EXPECT_EQ(canvas.drawn[1].y, (c.drop.Row - 1) * kCharHeight);
            EXPECT_EQ(canvas.drawn[1].colour, TrailColour(c.drop.Brightness));
        }
        const Drawn& head = canvas.drawn.back();
        EXPECT_EQ(head.kind, Drawn::Char);
        EXPECT_EQ(head.c, 'e');
        EXPECT_EQ(head.x, x);
        EXPECT_EQ(head.y, c.drop.Row * kCharHeight);
        EXPECT_EQ(head.colour, HeadColour(c.drop.Brightness));
    }
}

TEST(RainDraw, ErasedRowStaysOnTheGridForAnyRow) {
    for (int height : {0, 1, 5, 39, 40, 41, 100}) {
        for (int row = 0; row <= height + 1; ++row) {
            const int e = ErasedRow(row, height);
            EXPECT_GE(e, 0);
            EXPECT_LE(e, height);
            EXPECT_EQ((row - e - kEraseDistance) % (height + 1), 0) << row << " of " << height;
        }
    }
}

TEST(RainColours, HeadAndTrailByBrightness) {
    struct Case {
        int brightness;
        RainColour head, trail;
    };
    // b = brightness * 255 / 100; red b * 150 / 255, green b, blue b * 100 / 255;
    // the trail takes b / 3. Integer division at every step.
    const Case cases[] = {
        {0, {0, 0, 0}, {0, 0, 0}},  // black on black
        {99, {148, 252, 98}, {49, 84, 32}},
        {50, {74, 127, 49}, {24, 42, 16}},
        {1, {1, 2, 0}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HeadColour(c.brightness), c.head) << c.brightness;
        EXPECT_EQ(TrailColour(c.brightness), c.trail) << c.brightness;
    }
}
