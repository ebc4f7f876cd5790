#pragma once
// The top-view plot every scenario writes: the floor's boxes and navigation graph, one trail per
// bot in a colour of its own, threats or leaders, each bot's final place marked by its outcome
// (bots that end on one spot are drawn once with a count), a title, axes in metres, a scale bar
// and a legend. PNG through libpng; text in a small built-in bitmap font (capitals only).

#include <cstdint>
#include <string>
#include <vector>

#include "ai/runtime/vector3.h"
#include "tools/plot/canvas.h"
#include "tools/ai_scenario/scenario_kit.h"

class CSpatialGraph;

namespace scenario {

using plot::Rgb;
using plot::SeriesColour;

// What a scenario hands to the plot.
struct PlotScene {
    std::string title;  // e.g. "HIDE: 8 BOTS, 30 S - HIDDEN 8/8"
    float half = 15.5f; // the view covers [-half, half] in x and z (m)
    std::vector<Box> boxes;
    CSpatialGraph* graph = nullptr;
    std::vector<std::vector<CVector3>> trails; // one per bot, in bot order
    std::vector<std::vector<CVector3>> others; // threats, leaders ...: drawn in red
    std::string othersLabel;                   // legend text for them ("" when none)
    std::vector<CVector3> goals;               // places handed to the bots (small squares)
    std::string goalsLabel;
    struct Final {
        CVector3 position;
        bool good = true; // outcome: hidden, safe, arrived, following ...
    };
    std::vector<Final> finals; // one per bot
    std::string goodLabel = "FINAL: OK";
    std::string badLabel = "FINAL: NOT OK";
};

// Draws the scene into a PNG file; false when the file cannot be written.
bool WritePlot(const PlotScene& scene, const char* path);

} // namespace scenario
