#pragma once
// The bots' behaviour over time as a PNG: each bot's distance to the player (metres, left axis) and
// the number of bots the player cannot see (right axis), the F1 presses marked by vertical lines.

#include <vector>

struct BehaviourSeries {
    std::vector<double> seconds;                // one entry per frame
    std::vector<int> hidden;                    // per frame
    std::vector<std::vector<double>> distances; // per frame, one per bot (metres)
    std::vector<double> presses;                // seconds
};

// False when there is nothing to draw or the file cannot be written.
bool WriteBehaviourPlot(const BehaviourSeries& series, const char* path);
