#include "tools/demo_check/behaviour_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "tools/plot/canvas.h"

namespace {

using behaviour_plot::kBottom;
using behaviour_plot::kLeft;
using behaviour_plot::kRight;
using behaviour_plot::kTop;

// The legend's column stands right of the hidden count's axis.
constexpr int kLegendX = kRight + 64;
constexpr int kWidth = kLegendX + 170;
constexpr int kHeight = 600;
constexpr plot::Rgb kGrid{220, 220, 220};
constexpr plot::Rgb kHiddenColour{0, 0, 0};
constexpr plot::Rgb kPressColour{200, 30, 30};
// Many bots: each a thin grey line under the nearest, median and farthest distance.
constexpr plot::Rgb kEachBot{200, 200, 200};
constexpr plot::Rgb kSummary[3] = {{20, 90, 200}, {0, 150, 60}, {220, 120, 0}};
constexpr const char* kSummaryName[3] = {"NEAREST BOT", "MEDIAN BOT", "FARTHEST BOT"};

// A round step giving about six ticks over the range.
double TickStep(double range) {
    const double raw = range / 6.0;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= raw) {
            return m * power;
        }
    }
    return 10.0 * power;
}

std::string Format(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

} // namespace

plot::Canvas DrawBehaviourPlot(const BehaviourSeries& series) {
    plot::Canvas canvas(kWidth, kHeight);
    if (series.seconds.size() < 2) {
        return canvas;
    }
    const std::size_t bots = series.distances.front().size();
    const double t0 = series.seconds.front();
    const double t1 = series.seconds.back();
    double dmax = 1.0;
    for (const auto& frame : series.distances) {
        for (double d : frame) {
            dmax = std::max(dmax, d);
        }
    }
    const double dStep = TickStep(dmax);
    dmax = std::ceil(dmax / dStep) * dStep;
    const int hmax = std::max<int>(1, static_cast<int>(bots));
    auto X = [&](double t) { return kLeft + static_cast<int>(std::lround((t - t0) / (t1 - t0) * (kRight - kLeft))); };
    auto Yd = [&](double d) { return kBottom - static_cast<int>(std::lround(d / dmax * (kBottom - kTop))); };
    auto Yh = [&](double h) { return kBottom - static_cast<int>(std::lround(h / hmax * (kBottom - kTop))); };

    canvas.Text(kLeft, 16, "BOTS: DISTANCE TO THE PLAYER AND HIDDEN COUNT", plot::kInk, 2);
    // Axes, grid and ticks.
    const double tStep = TickStep(t1 - t0);
    for (double t = std::ceil(t0 / tStep) * tStep; t <= t1 + 1e-9; t += tStep) {
        canvas.Line(X(t), kTop, X(t), kBottom, kGrid);
        const std::string label = Format(t);
        canvas.Text(X(t) - plot::Canvas::TextWidth(label) / 2, kBottom + 6, label, plot::kInk);
    }
    for (double d = 0.0; d <= dmax + 1e-9; d += dStep) {
        canvas.Line(kLeft, Yd(d), kRight, Yd(d), kGrid);
        const std::string label = Format(d);
        canvas.Text(kLeft - 6 - plot::Canvas::TextWidth(label), Yd(d) - 3, label, plot::kInk);
    }
    const int hStep = std::max(1, hmax / 8);
    for (int h = 0; h <= hmax; h += hStep) {
        canvas.Line(kRight, Yh(h), kRight + 4, Yh(h), plot::kInk);
        canvas.Text(kRight + 8, Yh(h) - 3, std::to_string(h), plot::kInk);
    }
    canvas.Line(kLeft, kBottom, kRight, kBottom, plot::kInk);
    canvas.Line(kLeft, kTop, kLeft, kBottom, plot::kInk);
    canvas.Line(kRight, kTop, kRight, kBottom, plot::kInk);
    canvas.Text((kLeft + kRight) / 2 - plot::Canvas::TextWidth("TIME (S)") / 2, kBottom + 20, "TIME (S)", plot::kInk);
    canvas.TextUp(kLeft - 60, (kTop + kBottom) / 2 + 60, "DISTANCE (M)", plot::kInk);
    canvas.TextUp(kRight + 40, (kTop + kBottom) / 2 + 60, "HIDDEN BOTS", plot::kInk);

    for (double press : series.presses) {
        if (press >= t0 && press <= t1) {
            canvas.Line(X(press), kTop, X(press), kBottom, kPressColour);
            canvas.Line(X(press) + 1, kTop, X(press) + 1, kBottom, kPressColour);
            canvas.Text(X(press) + 4, kTop + 4, "F1", kPressColour);
        }
    }
    const bool named = bots <= behaviour_plot::kBotsNamed;
    for (std::size_t b = 0; b < bots; ++b) {
        const plot::Rgb colour = named ? plot::SeriesColour(b, bots) : kEachBot;
        for (std::size_t i = 1; i < series.seconds.size(); ++i) {
            canvas.Line(X(series.seconds[i - 1]), Yd(series.distances[i - 1][b]), X(series.seconds[i]),
                        Yd(series.distances[i][b]), colour);
        }
    }
    if (!named) {
        // The nearest, median and farthest distance of each frame.
        std::vector<double> sorted;
        int last[3] = {};
        for (std::size_t i = 0; i < series.seconds.size(); ++i) {
            sorted = series.distances[i];
            std::sort(sorted.begin(), sorted.end());
            const double values[3] = {sorted.front(), sorted[sorted.size() / 2], sorted.back()};
            for (int k = 0; k < 3; ++k) {
                const int y = Yd(values[k]);
                if (i > 0) {
                    canvas.Line(X(series.seconds[i - 1]), last[k], X(series.seconds[i]), y, kSummary[k]);
                }
                last[k] = y;
            }
        }
    }
    for (std::size_t i = 1; i < series.seconds.size(); ++i) {
        const int x0 = X(series.seconds[i - 1]);
        const int x1 = X(series.seconds[i]);
        canvas.Line(x0, Yh(series.hidden[i - 1]), x1, Yh(series.hidden[i - 1]), kHiddenColour);
        canvas.Line(x1, Yh(series.hidden[i - 1]), x1, Yh(series.hidden[i]), kHiddenColour);
    }
    // Legend, beside the axes: the hidden count, the press, then the bots.
    int y = kTop + 4;
    const int lx = kLegendX;
    const auto entry = [&](plot::Rgb colour, const std::string& text) {
        canvas.Line(lx, y + 3, lx + 14, y + 3, colour);
        canvas.Line(lx, y + 4, lx + 14, y + 4, colour);
        canvas.Text(lx + 18, y, text, plot::kInk);
        y += 12;
    };
    entry(kHiddenColour, "HIDDEN (RIGHT)");
    entry(kPressColour, "F1 PRESSED");
    if (named) {
        for (std::size_t b = 0; b < bots; ++b) {
            entry(plot::SeriesColour(b, bots), "SOLDIER" + std::to_string(b));
        }
    } else {
        for (int k = 0; k < 3; ++k) {
            entry(kSummary[k], kSummaryName[k]);
        }
        entry(kEachBot, "EACH OF " + std::to_string(bots) + " BOTS");
    }
    return canvas;
}

bool WriteBehaviourPlot(const BehaviourSeries& series, const char* path) {
    return series.seconds.size() >= 2 && DrawBehaviourPlot(series).Save(path);
}
