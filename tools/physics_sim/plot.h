#pragma once
// A line plot as a PNG: title, x and y axes with tick labels and unit captions, one line per
// series in a colour of its own, and a legend. Text in a small built-in bitmap font (capitals).

#include <string>
#include <vector>

namespace physics_sim {

struct PlotLine {
    std::string label;
    std::vector<double> y; // one value per x
};

struct LinePlot {
    std::string title;
    std::string xAxis; // caption with unit, e.g. "TIME (S)"
    std::string yAxis;
    std::vector<double> x;
    std::vector<PlotLine> lines;
};

// False when the file cannot be written or there is nothing to draw.
bool WriteLinePlot(const LinePlot& plot, const char* path);

} // namespace physics_sim
