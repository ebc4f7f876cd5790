// The behaviour plot: the bots' lines stay visible to the end of the time axis, whatever the
// number of bots, with the legend beside the axes.

#include <gtest/gtest.h>

#include <cstddef>

#include "tools/demo_check/behaviour_plot.h"

namespace {

bool IsPaper(plot::Rgb c) { return c.r == plot::kPaper.r && c.g == plot::kPaper.g && c.b == plot::kPaper.b; }
bool IsInk(plot::Rgb c) { return c.r == plot::kInk.r && c.g == plot::kInk.g && c.b == plot::kInk.b; }

} // namespace

TEST(BehaviourPlot, TheLegendLeavesTheLastSecondsOfEveryBotsLineInSight) {
    using namespace behaviour_plot;
    for (std::size_t bots : {std::size_t{4}, std::size_t{40}, std::size_t{104}}) {
        SCOPED_TRACE(bots);
        // Sixty seconds; every bot 9.5 m from the player, a line across the top of the graph
        // (the axis runs to 10 m), where a legend inside the axes' top-right corner would lie.
        BehaviourSeries series;
        for (int frame = 0; frame <= 60; ++frame) {
            series.seconds.push_back(frame);
            series.hidden.push_back(0);
            series.distances.emplace_back(bots, 9.5);
        }
        series.presses = {30.0};
        const plot::Canvas canvas = DrawBehaviourPlot(series);
        const int y = kBottom - (kBottom - kTop) * 95 / 100;
        // The bots' line is drawn (in a colour, not paper or legend text) over the last twelve
        // seconds, up to the right axis.
        for (int x = kRight - (kRight - kLeft) / 5; x < kRight; ++x) {
            const plot::Rgb at = canvas.At(x, y);
            ASSERT_FALSE(IsPaper(at) || IsInk(at)) << "x " << x;
        }
        // No text inside the axes' top right quarter: the legend stands outside.
        for (int py = kTop + 1; py < (kTop + kBottom) / 2; ++py)
            for (int px = (kLeft + kRight) / 2; px < kRight; ++px)
                ASSERT_FALSE(IsInk(canvas.At(px, py))) << px << "," << py;
        // The legend is there, beside the axes.
        int legendInk = 0;
        for (int py = kTop; py < kBottom; ++py)
            for (int px = kRight + 60; px < kRight + 230; ++px)
                legendInk += IsInk(canvas.At(px, py)) ? 1 : 0;
        EXPECT_GT(legendInk, 100);
    }
}
