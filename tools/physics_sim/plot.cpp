#include "tools/physics_sim/plot.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "tools/plot/canvas.h"

namespace physics_sim {

namespace {

using plot::Canvas;
using plot::kInk;
using plot::Rgb;
using plot::SeriesColour;

constexpr Rgb kGrid{225, 225, 225};

// A "nice" tick step giving about `count` intervals over span.
double TickStep(double span, int count) {
    const double raw = span / count;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * p >= raw) {
            return m * p;
        }
    }
    return 10.0 * p;
}

std::string Number(double v, double step) {
    char text[32];
    const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    std::snprintf(text, sizeof(text), "%.*f", decimals, std::fabs(v) < step * 1e-6 ? 0.0 : v);
    return text;
}

} // namespace

bool WriteLinePlot(const LinePlot& plot, const char* path) {
    if (plot.x.empty() || plot.lines.empty()) {
        return false;
    }
    const int width = 900, height = 600, left = 90, right = 30, top = 50, bottom = 70;
    const int pw = width - left - right, ph = height - top - bottom;
    double x0 = plot.x.front(), x1 = plot.x.back();
    double y0 = INFINITY, y1 = -INFINITY;
    for (const PlotLine& l : plot.lines) {
        for (double v : l.y) {
            if (std::isfinite(v)) {
                y0 = std::min(y0, v);
                y1 = std::max(y1, v);
            }
        }
    }
    if (!std::isfinite(y0)) {
        return false;
    }
    if (x1 <= x0) {
        x1 = x0 + 1.0;
    }
    if (y1 - y0 < 1e-9 * std::max(1.0, std::fabs(y1))) {
        y0 -= 0.5;
        y1 += 0.5;
    }
    const double ys = TickStep(y1 - y0, 6), xs = TickStep(x1 - x0, 8);
    y0 = std::floor(y0 / ys) * ys;
    y1 = std::ceil(y1 / ys) * ys;
    auto X = [&](double x) { return left + static_cast<int>(std::lround((x - x0) / (x1 - x0) * pw)); };
    auto Y = [&](double y) { return top + ph - static_cast<int>(std::lround((y - y0) / (y1 - y0) * ph)); };

    Canvas canvas(width, height);
    canvas.Text((width - Canvas::TextWidth(plot.title)) / 2, 18, plot.title, kInk);
    for (double t = std::ceil(x0 / xs) * xs; t <= x1 + xs * 1e-6; t += xs) {
        canvas.Line(X(t), top, X(t), top + ph, kGrid);
        const std::string label = Number(t, xs);
        canvas.Line(X(t), top + ph, X(t), top + ph + 5, kInk);
        canvas.Text(X(t) - Canvas::TextWidth(label) / 2, top + ph + 10, label, kInk);
    }
    for (double t = y0; t <= y1 + ys * 1e-6; t += ys) {
        canvas.Line(left, Y(t), left + pw, Y(t), kGrid);
        const std::string label = Number(t, ys);
        canvas.Line(left - 5, Y(t), left, Y(t), kInk);
        canvas.Text(left - 10 - Canvas::TextWidth(label), Y(t) - 3, label, kInk);
    }
    canvas.Line(left, top, left, top + ph, kInk);
    canvas.Line(left, top + ph, left + pw, top + ph, kInk);
    canvas.Text(left + (pw - Canvas::TextWidth(plot.xAxis)) / 2, height - 28, plot.xAxis, kInk);
    canvas.TextUp(14, top + (ph + Canvas::TextWidth(plot.yAxis)) / 2, plot.yAxis, kInk);
    for (std::size_t i = 0; i < plot.lines.size(); ++i) {
        const Rgb c = SeriesColour(i, plot.lines.size());
        const PlotLine& l = plot.lines[i];
        for (std::size_t k = 1; k < l.y.size() && k < plot.x.size(); ++k) {
            if (std::isfinite(l.y[k - 1]) && std::isfinite(l.y[k])) {
                canvas.Line(X(plot.x[k - 1]), Y(l.y[k - 1]), X(plot.x[k]), Y(l.y[k]), c);
                canvas.Line(X(plot.x[k - 1]), Y(l.y[k - 1]) + 1, X(plot.x[k]), Y(l.y[k]) + 1, c);
            }
        }
        // A value with no finite neighbour draws no line: a dot shows it (a run of one step).
        for (std::size_t k = 0; k < l.y.size() && k < plot.x.size(); ++k) {
            const bool before = k > 0 && std::isfinite(l.y[k - 1]);
            const bool after = k + 1 < l.y.size() && k + 1 < plot.x.size() && std::isfinite(l.y[k + 1]);
            if (std::isfinite(l.y[k]) && !before && !after) {
                canvas.Disc(X(plot.x[k]), Y(l.y[k]), 3, c);
            }
        }
        // Legend, top right inside the plot area.
        const int ly = top + 10 + static_cast<int>(i) * 14;
        int longest = 0;
        for (const PlotLine& other : plot.lines) {
            longest = std::max(longest, Canvas::TextWidth(other.label));
        }
        const int lx = left + pw - longest - 40;
        canvas.Fill(lx, ly + 2, lx + 18, ly + 4, c);
        canvas.Text(lx + 24, ly, l.label, kInk);
    }
    return canvas.Save(path);
}

} // namespace physics_sim
