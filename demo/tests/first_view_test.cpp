// The game as a player first sees it, run as the program on the data folder the build makes,
// headless: the start screen's images carry the title, the text and its keys, and the message,
// and leave the frame rate in view; the first frame after ENTER shows the player and his team as
// figures, with the order beside them.

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testing/golden_png.h"
#include "testing/scratch_dir.h"
#include "testing/tool_run.h"

namespace {

constexpr int kWidth = 640, kHeight = 480;

struct Frame {
    std::vector<png_byte> rgb;
    const png_byte* At(int x, int y) const { return &rgb[(static_cast<std::size_t>(y) * kWidth + x) * 3]; }
};

// The 8-connected blobs of the pixels the test picks: their bounding boxes.
struct Box {
    int left, top, right, bottom, pixels;
    int Height() const { return bottom - top + 1; }
    int Width() const { return right - left + 1; }
};
template <typename Pick> std::vector<Box> Blobs(const Frame& f, Pick pick) {
    std::vector<bool> seen(static_cast<std::size_t>(kWidth) * kHeight, false);
    std::vector<Box> boxes;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            if (seen[static_cast<std::size_t>(y) * kWidth + x] || !pick(f.At(x, y))) {
                continue;
            }
            Box b = {x, y, x, y, 0};
            std::vector<std::pair<int, int>> todo = {{x, y}};
            seen[static_cast<std::size_t>(y) * kWidth + x] = true;
            while (!todo.empty()) {
                const auto [px, py] = todo.back();
                todo.pop_back();
                ++b.pixels;
                b = {std::min(b.left, px), std::min(b.top, py), std::max(b.right, px), std::max(b.bottom, py),
                     b.pixels};
                for (int dy = -1; dy <= 1; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int nx = px + dx, ny = py + dy;
                        if (nx >= 0 && ny >= 0 && nx < kWidth && ny < kHeight &&
                            !seen[static_cast<std::size_t>(ny) * kWidth + nx] && pick(f.At(nx, ny))) {
                            seen[static_cast<std::size_t>(ny) * kWidth + nx] = true;
                            todo.emplace_back(nx, ny);
                        }
                    }
                }
            }
            boxes.push_back(b);
        }
    }
    return boxes;
}

TEST(FirstViewTest, StartScreenThenThePlayerAndHisTeamAsFigures) {
    const std::filesystem::path dir = MakeTestScratchDir("dun_first_view");
    const ToolRun run = RunTool("cd " + std::string(DEMO_DATA_DIR) +
                                    " && env -u DISPLAY -u WAYLAND_DISPLAY PLATFORM_HEADLESS=1 PLATFORM_FRAMES=3 "
                                    "PLATFORM_FIXED_STEP=0.0166667 PLATFORM_KEYS=2:RETURN PLATFORM_CAPTURE=" +
                                    (dir / "f%d.png").string() + " " + DUNMARROW_PROGRAM,
                                "");
    ASSERT_EQ(run.status, 0) << run.output;
    Frame screen, first;
    png_uint_32 w = 0, h = 0;
    screen.rgb = ReadPngRgb((dir / "f1.png").string(), &w, &h);
    ASSERT_EQ(screen.rgb.size(), static_cast<std::size_t>(kWidth * kHeight * 3));
    first.rgb = ReadPngRgb((dir / "f3.png").string(), &w, &h);
    ASSERT_EQ(first.rgb.size(), screen.rgb.size());

    // The start screen. The text panel (left of the scroll buttons, below the title) is print: dark
    // ink on the light paper, between a twentieth and a third of the panel, in short strokes
    // (a glyph is 8 pixels wide) rather than bars across it.
    int ink = 0, paper = 0, longest = 0;
    for (int y = 124; y < 430; ++y) {
        int run_ = 0;
        for (int x = 48; x < 550; ++x) {
            const png_byte* p = screen.At(x, y);
            const bool dark = p[0] < 90 && p[1] < 90 && p[2] < 90;
            ink += dark;
            paper += p[0] > 200 && p[1] > 200 && p[2] > 180;
            run_ = dark ? run_ + 1 : 0;
            longest = std::max(longest, run_);
        }
    }
    EXPECT_GT(ink, (ink + paper) / 20) << "no text in the panel";
    EXPECT_LT(ink, (ink + paper) / 3);
    EXPECT_LE(longest, 24) << "bars, not letters";
    // The title's and the message's letters: light strokes on the title's bar, yellow ones on the
    // message's, each many glyphs wide.
    const auto strokes = [&](int top, int bottom, auto lit) {
        int count = 0, left = kWidth, right = 0;
        for (int y = top; y < bottom; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                if (lit(screen.At(x, y))) {
                    ++count;
                    left = std::min(left, x);
                    right = std::max(right, x);
                }
            }
        }
        return std::pair{count, right - left};
    };
    const auto title = strokes(16, 52, [](const png_byte* p) { return p[0] > 220 && p[1] > 220 && p[2] > 220; });
    EXPECT_GT(title.first, 300);
    EXPECT_GT(title.second, 120);
    // The texts are placed in screen fractions (across and up) and nothing covers them: the frame
    // rate, 0.75 across and 0.82 up (0.04 high), above the text panel and clear of the title and
    // the logos; the order, 0.7 across and 0.2 and 0.15 up, right of the picture's middle (once the
    // start screen is gone).
    const auto lit = [](const Frame& f, int left, int top, int right, int bottom) {
        int count = 0;
        for (int y = top; y < bottom; ++y) {
            for (int x = left; x < right; ++x) {
                const png_byte* p = f.At(x, y);
                count += p[0] > 240 && p[1] > 240 && p[2] > 240;
            }
        }
        return count;
    };
    EXPECT_GT(lit(screen, kWidth * 3 / 4, kHeight * 14 / 100 - 3, kWidth, kHeight * 18 / 100 + 5), 200)
        << "the frame rate is not shown";
    EXPECT_GT(lit(first, kWidth * 7 / 10, kHeight * 77 / 100, kWidth, kHeight * 86 / 100), 300)
        << "the order is not shown where it belongs";
    EXPECT_EQ(lit(screen, 557, kHeight * 77 / 100, 604, kHeight * 86 / 100), 0)
        << "the order shows beside the start screen's text";
    const auto message = strokes(452, 478, [](const png_byte* p) { return p[0] > 220 && p[1] > 220 && p[2] < 160; });
    EXPECT_GT(message.first, 400);
    EXPECT_GT(message.second, 250);

    // The first frame of the game: the player (blue) at least 40 pixels tall and upright, and at
    // least four of his team (red) standing apart as figures.
    const std::vector<Box> blue =
        Blobs(first, [](const png_byte* p) { return p[2] > p[0] + 40 && p[2] > p[1] + 20 && p[2] > 2 * p[0]; });
    const bool player = std::any_of(blue.begin(), blue.end(), [](const Box& b) {
        return b.Height() >= 40 && b.Height() > 2 * b.Width() / 3 && b.pixels >= 150;
    });
    EXPECT_TRUE(player) << "no blue soldier 40 pixels tall";
    const std::vector<Box> red =
        Blobs(first, [](const png_byte* p) { return p[0] > 2 * p[1] && p[0] > 2 * p[2] && p[0] > 60; });
    const auto figures = std::count_if(red.begin(), red.end(), [](const Box& b) { return b.Height() >= 15; });
    EXPECT_GE(figures, 4) << "the team is not in the first view";
    std::filesystem::remove_all(dir);

    // The camera switch sequence starts at the fixed viewpoint shown and holds the path (whose
    // spline is there) and the overview.
    std::ifstream in(std::filesystem::path(DEMO_DATA_DIR) / "config.xml");
    const std::string config((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(config.find("<SwitchSequence><Mode value=\"Fixed\"/><Mode value=\"Follow\"/><Mode value=\"FPS\"/>"
                          "<Mode value=\"Path\"/><Mode value=\"Free\"/></SwitchSequence>"),
              std::string::npos);
    EXPECT_NE(config.find("<CameraMode mode=\"Fixed\"/>"), std::string::npos);
    EXPECT_TRUE(
        std::filesystem::is_regular_file(std::filesystem::path(DEMO_DATA_DIR) / "models/revolution/spline.ovs"));
}

} // namespace
