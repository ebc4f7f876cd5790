#pragma once
// The frame-rate counter: the rate over each run of 200 frames, and the history of the last 632
// frame times that the debug graph draws.

#include <cstdint>
#include <string>
#include <vector>

#include "graphics/core/d3d9/im2d.h"

class CFont;

class CFpsCounter {
public:
    static constexpr int kRateFrames = 200;  // frames per rate
    static constexpr int kHistorySize = 632; // frame times kept for the graph
    // Where the text goes (screen fractions) and its size.
    static constexpr float kTextX = 0.75f;
    static constexpr float kTextY = 0.82f;
    static constexpr float kTextSize = 0.04f;

    static CFpsCounter* GetInstance();
    static void Destroy();

    // One frame that took `seconds`.
    void Sample(float seconds);
    // "FPS : 59.94", or "FPS : [wait]" before the first rate.
    std::string Text() const;
    // The graph's line list in the screen space of a W x H raster: per sample a white vertical line
    // (oldest first), then the grey marks of 1/30 s and 1/15 s; 2 x samples + 4 vertices.
    void BuildGraph(float width, float height, float screenZ, float recipZ,
                    std::vector<OvD3D9Im2DVertex>* vertices) const;
    // The text with the font (when there is one) and, at debug level 2 or more, the graph over the
    // camera being updated.
    void Render(CFont* font) const;

    bool Valid() const { return valid_; }
    float Rate() const { return rate_; }
    int HistoryCount() const { return historyCount_; }

private:
    CFpsCounter() = default;

    bool valid_ = false;               // a rate has been measured
    int frames_ = 0;                   // frames counted towards the next rate
    float seconds_ = 0.0f;             // their time summed
    float rate_ = 0.0f;                // last rate, frames per second
    float history_[kHistorySize] = {}; // frame times, seconds
    int historyCount_ = 0;             // samples held, at most kHistorySize
    int nextIndex_ = 0;                // where the next sample goes
};
