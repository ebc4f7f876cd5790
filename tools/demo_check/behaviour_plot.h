#pragma once
// The bots' behaviour over time as a PNG: each bot's distance to the player (metres, left axis) and
// the number of bots the player cannot see (right axis), the F1 presses marked by vertical lines.
// The legend stands beside the axes, never over the graph. Up to kBotsNamed bots each has a colour
// and a legend line of his own; with more, every bot is a thin grey line and the nearest, median
// and farthest distance of each moment are drawn over them in colour.

#include <cstddef>
#include <vector>

#include "tools/plot/canvas.h"

struct BehaviourSeries {
    std::vector<double> seconds;                // one entry per frame
    std::vector<int> hidden;                    // per frame
    std::vector<std::vector<double>> distances; // per frame, one per bot (metres)
    std::vector<double> presses;                // seconds
};

namespace behaviour_plot {
constexpr std::size_t kBotsNamed = 16;
// The axes' frame on the canvas (pixels).
constexpr int kLeft = 80;
constexpr int kRight = 880;
constexpr int kTop = 60;
constexpr int kBottom = 520;
} // namespace behaviour_plot

// The picture; a blank canvas when there are fewer than two frames.
plot::Canvas DrawBehaviourPlot(const BehaviourSeries& series);
// False when there is nothing to draw or the file cannot be written.
bool WriteBehaviourPlot(const BehaviourSeries& series, const char* path);
