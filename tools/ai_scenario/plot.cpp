#include "tools/ai_scenario/plot.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ai/navigation/spatial_graph.h"
#include "tools/plot/canvas.h"

namespace scenario {

namespace {

using plot::Canvas;
using plot::kInk;

constexpr Rgb kBoxColour{95, 95, 95};
constexpr Rgb kEdgeColour{215, 225, 235};
constexpr Rgb kVertexColour{150, 170, 190};
constexpr Rgb kThreatColour{215, 25, 30};
constexpr Rgb kGoodColour{30, 150, 50};
constexpr Rgb kBadColour{215, 25, 30};

// Places the map (x to the right, z upwards) inside the canvas.
struct MapFrame {
    float half;
    int scale; // pixels per metre
    int left;  // canvas column of x = -half
    int top;   // canvas row of z = +half
    int X(float x) const { return left + static_cast<int>(std::lround((x + half) * scale)); }
    int Y(float z) const { return top + static_cast<int>(std::lround((half - z) * scale)); }
    int Size() const { return static_cast<int>(2 * half * scale); }
};

void DrawLegendEntry(Canvas& canvas, int x, int y, int kind, Rgb colour, const std::string& text) {
    const int cx = x + 8, cy = y + 3;
    switch (kind) {
    case 0:
        canvas.Fill(x, cy - 1, x + 16, cy + 1, colour);
        break; // trail
    case 1:
        canvas.Disc(cx, cy, 5, colour);
        break; // good final
    case 2:
        canvas.Cross(cx, cy, 5, colour);
        break; // bad final
    case 3:
        canvas.Fill(x + 2, cy - 5, x + 14, cy + 5, colour);
        break; // box
    case 4:
        canvas.Disc(cx, cy, 2, colour);
        break; // start
    case 5:
        canvas.Ring(cx, cy, 6, colour);
        break; // threat / leader
    case 6:
        canvas.Fill(cx - 3, cy - 3, cx + 3, cy + 3, colour);
        break; // goal
    }
    canvas.Text(x + 24, y, text, kInk);
}

} // namespace

bool WritePlot(const PlotScene& scene, const char* path) {
    const int scale = 20;
    const MapFrame map{scene.half, scale, 70, 50};
    const int legendLeft = map.left + map.Size() + 30;
    Canvas canvas(legendLeft + 230, map.top + map.Size() + 70);

    canvas.Text(map.left, 14, scene.title, kInk, 2);

    // Graph, boxes.
    if (CSpatialGraph* graph = scene.graph) {
        for (int32_t i = 0; i <= graph->GetLastEdgeIndex(); ++i) {
            if (const CGraphEdge* edge = graph->GetEdge(i)) {
                const CVector3& a = edge->GetSource()->GetPosition();
                const CVector3& b = edge->GetDestination()->GetPosition();
                canvas.Line(map.X(a.x), map.Y(a.z), map.X(b.x), map.Y(b.z), kEdgeColour);
            }
        }
        for (int32_t i = 0; i <= graph->GetLastVertexIndex(); ++i)
            if (const CGraphVertex* vertex = graph->GetVertex(i))
                canvas.Put(map.X(vertex->GetPosition().x), map.Y(vertex->GetPosition().z), kVertexColour);
    }
    for (const Box& box : scene.boxes)
        canvas.Fill(map.X(box.min[0]), map.Y(box.max[2]), map.X(box.max[0]), map.Y(box.min[2]), kBoxColour);

    // Trails, starts, goals, threats.
    const std::size_t bots = scene.trails.size();
    for (std::size_t b = 0; b < bots; ++b) {
        const Rgb colour = SeriesColour(b, bots);
        const std::vector<CVector3>& trail = scene.trails[b];
        for (std::size_t k = 1; k < trail.size(); ++k)
            canvas.Line(map.X(trail[k - 1].x), map.Y(trail[k - 1].z), map.X(trail[k].x), map.Y(trail[k].z), colour);
        if (!trail.empty())
            canvas.Disc(map.X(trail.front().x), map.Y(trail.front().z), 2, colour);
    }
    for (const CVector3& goal : scene.goals)
        canvas.Fill(map.X(goal.x) - 3, map.Y(goal.z) - 3, map.X(goal.x) + 3, map.Y(goal.z) + 3, Rgb{120, 120, 120});
    for (const std::vector<CVector3>& trail : scene.others) {
        for (std::size_t k = 1; k < trail.size(); ++k)
            canvas.Line(map.X(trail[k - 1].x), map.Y(trail[k - 1].z), map.X(trail[k].x), map.Y(trail[k].z),
                        Rgb{240, 150, 150});
        if (!trail.empty())
            canvas.Ring(map.X(trail.back().x), map.Y(trail.back().z), 8, kThreatColour);
    }

    // Final places: bots that end within 0.3 m of each other with the same outcome share one mark
    // with a count.
    std::vector<bool> drawn(scene.finals.size(), false);
    for (std::size_t i = 0; i < scene.finals.size(); ++i) {
        if (drawn[i])
            continue;
        int count = 0;
        for (std::size_t j = i; j < scene.finals.size(); ++j) {
            const CVector3& a = scene.finals[i].position;
            const CVector3& b = scene.finals[j].position;
            if (!drawn[j] && scene.finals[j].good == scene.finals[i].good && std::hypot(a.x - b.x, a.z - b.z) < 0.3f) {
                drawn[j] = true;
                ++count;
            }
        }
        const int x = map.X(scene.finals[i].position.x), y = map.Y(scene.finals[i].position.z);
        const Rgb colour = i < bots ? SeriesColour(i, bots) : kInk;
        if (scene.finals[i].good) {
            canvas.Disc(x, y, 6, kGoodColour);
            canvas.Disc(x, y, 3, colour);
        } else {
            canvas.Cross(x, y, 6, kBadColour);
        }
        if (count > 1) {
            char label[16];
            std::snprintf(label, sizeof(label), "X%d", count);
            canvas.Text(x + 8, y - 10, label, kInk);
        }
    }

    // Axes in metres with ticks every 5 m, and a frame round the map.
    const int size = map.Size();
    canvas.Line(map.left, map.top, map.left + size, map.top, kInk);
    canvas.Line(map.left, map.top + size, map.left + size, map.top + size, kInk);
    canvas.Line(map.left, map.top, map.left, map.top + size, kInk);
    canvas.Line(map.left + size, map.top, map.left + size, map.top + size, kInk);
    const int firstTick = static_cast<int>(std::ceil(-scene.half / 5.0f)) * 5;
    for (int t = firstTick; t <= scene.half; t += 5) {
        const std::string label = std::to_string(t);
        canvas.Line(map.X(static_cast<float>(t)), map.top + size, map.X(static_cast<float>(t)), map.top + size + 5,
                    kInk);
        canvas.Text(map.X(static_cast<float>(t)) - Canvas::TextWidth(label) / 2, map.top + size + 9, label, kInk);
        canvas.Line(map.left - 5, map.Y(static_cast<float>(t)), map.left, map.Y(static_cast<float>(t)), kInk);
        canvas.Text(map.left - 9 - Canvas::TextWidth(label), map.Y(static_cast<float>(t)) - 3, label, kInk);
    }
    const std::string xAxis = "X (M)";
    canvas.Text(map.left + size / 2 - Canvas::TextWidth(xAxis) / 2, map.top + size + 24, xAxis, kInk);
    canvas.Text(8, map.top + size / 2 - 3, "Z (M)", kInk);

    // Scale bar: 5 m under the map on the right.
    const int barRight = map.left + size, barLeft = barRight - 5 * scale, barY = map.top + size + 44;
    canvas.Fill(barLeft, barY, barRight, barY + 2, kInk);
    canvas.Line(barLeft, barY - 4, barLeft, barY + 6, kInk);
    canvas.Line(barRight, barY - 4, barRight, barY + 6, kInk);
    canvas.Text(barLeft - Canvas::TextWidth("5 M") - 6, barY - 2, "5 M", kInk);

    // Legend.
    int y = map.top;
    canvas.Text(legendLeft, y, "LEGEND", kInk);
    y += 18;
    const Rgb firstColour = bots > 0 ? SeriesColour(0, bots) : kInk;
    DrawLegendEntry(canvas, legendLeft, y, 0, firstColour, "BOT TRAIL (ONE COLOUR");
    char each[48];
    std::snprintf(each, sizeof(each), "EACH, %zu BOTS)", bots);
    canvas.Text(legendLeft + 24, y + 10, each, kInk);
    y += 26;
    DrawLegendEntry(canvas, legendLeft, y, 4, firstColour, "START");
    y += 16;
    DrawLegendEntry(canvas, legendLeft, y, 1, kGoodColour, scene.goodLabel);
    y += 16;
    DrawLegendEntry(canvas, legendLeft, y, 2, kBadColour, scene.badLabel);
    y += 16;
    canvas.Text(legendLeft + 24, y, "XN: N BOTS ON ONE SPOT", kInk);
    y += 16;
    if (!scene.othersLabel.empty()) {
        DrawLegendEntry(canvas, legendLeft, y, 5, kThreatColour, scene.othersLabel);
        y += 16;
    }
    if (!scene.goalsLabel.empty()) {
        DrawLegendEntry(canvas, legendLeft, y, 6, Rgb{120, 120, 120}, scene.goalsLabel);
        y += 16;
    }
    DrawLegendEntry(canvas, legendLeft, y, 3, kBoxColour, "BOX (2.5 M HIGH)");
    y += 16;
    DrawLegendEntry(canvas, legendLeft, y, 0, kEdgeColour, "GRAPH EDGE");
    y += 16;
    char pixels[32];
    std::snprintf(pixels, sizeof(pixels), "%d PIXELS PER METRE", scale);
    canvas.Text(legendLeft, y + 8, pixels, kInk);
    return canvas.Save(path);
}

} // namespace scenario
