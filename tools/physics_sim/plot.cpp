#include "tools/physics_sim/plot.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace physics_sim {

namespace {

struct Rgb {
    std::uint8_t r, g, b;
};

// 5 x 7 glyphs, rows top down ('#' ink).
struct Glyph {
    char c;
    const char* rows;
};

const Glyph kFont[] = {
    {'A', ".###.#...##...#######...##...##...#"}, {'B', "####.#...##...#####.#...##...#####."},
    {'C', ".###.#...##....#....#....#...#.###."}, {'D', "####.#...##...##...##...##...#####."},
    {'E', "######....#....####.#....#....#####"}, {'F', "######....#....####.#....#....#...."},
    {'G', ".###.#...##....#.####...##...#.####"}, {'H', "#...##...##...#######...##...##...#"},
    {'I', ".###...#....#....#....#....#...###."}, {'J', "..###...#....#....#....##..#..##..."},
    {'K', "#...##..#.#.#..##...#.#..#..#.#...#"}, {'L', "#....#....#....#....#....#....#####"},
    {'M', "#...###.###.#.##...##...##...##...#"}, {'N', "#...##...###..##.#.##..###...##...#"},
    {'O', ".###.#...##...##...##...##...#.###."}, {'P', "####.#...##...#####.#....#....#...."},
    {'Q', ".###.#...##...##...##.#.##..#..##.#"}, {'R', "####.#...##...#####.#.#..#..#.#...#"},
    {'S', ".#####....#.....###.....#....#####."}, {'T', "#####..#....#....#....#....#....#.."},
    {'U', "#...##...##...##...##...##...#.###."}, {'V', "#...##...##...##...##...#.#.#...#.."},
    {'W', "#...##...##...##.#.##.#.##.#.#.#.#."}, {'X', "#...##...#.#.#...#...#.#.#...##...#"},
    {'Y', "#...##...#.#.#...#....#....#....#.."}, {'Z', "#####....#...#...#...#...#....#####"},
    {'0', ".###.#...##..###.#.###..##...#.###."}, {'1', "..#...##....#....#....#....#...###."},
    {'2', ".###.#...#....#...#...#...#...#####"}, {'3', "#####...#...#.....#.....##...#.###."},
    {'4', "...#...##..#.#.#..#.#####...#....#."}, {'5', "######....####.....#....##...#.###."},
    {'6', "..##..#...#....####.#...##...#.###."}, {'7', "#####....#...#...#...#....#....#..."},
    {'8', ".###.#...##...#.###.#...##...#.###."}, {'9', ".###.#...##...#.####....#...#..##.."},
    {' ', "..................................."}, {'.', ".........................##...##..."},
    {',', "....................##...##...#...."}, {'-', "...............###................."},
    {'+', ".......#....#..#####..#....#......."}, {'/', ".........#...#...#...#...#........."},
    {'(', "...#...#...#....#....#.....#.....#."}, {')', ".#.....#.....#....#....#...#...#..."},
    {'=', "..........#####.....#####.........."}, {':', "......##...##.......##...##........"},
    {'|', "..#....#....#....#....#....#....#.."}, {'^', "..#...#.#.#...#...................."},
    {'%', "##...##..#...#...#...#...#..##...##"}, {'?', ".###.#...#....#...#...#.........#.."},
};

const char* GlyphRows(char c) {
    if (c >= 'a' && c <= 'z') {
        c = static_cast<char>(c - 'a' + 'A');
    }
    for (const Glyph& g : kFont) {
        if (g.c == c) {
            return g.rows;
        }
    }
    return kFont[sizeof(kFont) / sizeof(kFont[0]) - 1].rows;
}

constexpr Rgb kPaper{255, 255, 255};
constexpr Rgb kInk{30, 30, 30};
constexpr Rgb kGrid{225, 225, 225};
constexpr Rgb kColours[] = {{31, 90, 180}, {215, 60, 30}, {40, 150, 60}, {150, 60, 170}, {200, 140, 0}, {0, 150, 160}};

class Canvas {
public:
    Canvas(int w, int h) : w_(w), h_(h), pixels_(static_cast<std::size_t>(w) * h, kPaper) {}
    void Put(int x, int y, Rgb c) {
        if (x >= 0 && x < w_ && y >= 0 && y < h_) {
            pixels_[static_cast<std::size_t>(y) * w_ + x] = c;
        }
    }
    void Line(int x0, int y0, int x1, int y1, Rgb c) {
        const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
        const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
        int err = dx + dy;
        for (;;) {
            Put(x0, y0, c);
            if (x0 == x1 && y0 == y1) {
                break;
            }
            const int e2 = 2 * err;
            if (e2 >= dy) {
                err += dy;
                x0 += sx;
            }
            if (e2 <= dx) {
                err += dx;
                y0 += sy;
            }
        }
    }
    void Fill(int x0, int y0, int x1, int y1, Rgb c) {
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) {
                Put(x, y, c);
            }
        }
    }
    // Text with its top-left corner at (x, y); vertical text runs upwards from (x, y).
    void Text(int x, int y, const std::string& text, Rgb c, bool vertical = false) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char* rows = GlyphRows(text[i]);
            for (int r = 0; r < 7; ++r) {
                for (int k = 0; k < 5; ++k) {
                    if (rows[r * 5 + k] == '#') {
                        const int along = static_cast<int>(i) * 6 + k;
                        if (vertical) {
                            Put(x + r, y - along, c);
                        } else {
                            Put(x + along, y + r, c);
                        }
                    }
                }
            }
        }
    }
    static int Width(const std::string& text) { return static_cast<int>(text.size()) * 6; }
    bool Save(const char* path) const {
        FILE* file = std::fopen(path, "wb");
        if (file == nullptr) {
            return false;
        }
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
        bool ok = info != nullptr;
        if (ok && setjmp(png_jmpbuf(png)) != 0) {
            ok = false;
        } else if (ok) {
            png_init_io(png, file);
            png_set_IHDR(png, info, w_, h_, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                         PNG_FILTER_TYPE_DEFAULT);
            png_write_info(png, info);
            for (int y = 0; y < h_; ++y) {
                png_write_row(png, reinterpret_cast<png_const_bytep>(&pixels_[static_cast<std::size_t>(y) * w_]));
            }
            png_write_end(png, nullptr);
        }
        png_destroy_write_struct(&png, &info);
        return std::fclose(file) == 0 && ok;
    }

private:
    int w_, h_;
    std::vector<Rgb> pixels_;
};

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
    canvas.Text((width - Canvas::Width(plot.title)) / 2, 18, plot.title, kInk);
    for (double t = std::ceil(x0 / xs) * xs; t <= x1 + xs * 1e-6; t += xs) {
        canvas.Line(X(t), top, X(t), top + ph, kGrid);
        const std::string label = Number(t, xs);
        canvas.Line(X(t), top + ph, X(t), top + ph + 5, kInk);
        canvas.Text(X(t) - Canvas::Width(label) / 2, top + ph + 10, label, kInk);
    }
    for (double t = y0; t <= y1 + ys * 1e-6; t += ys) {
        canvas.Line(left, Y(t), left + pw, Y(t), kGrid);
        const std::string label = Number(t, ys);
        canvas.Line(left - 5, Y(t), left, Y(t), kInk);
        canvas.Text(left - 10 - Canvas::Width(label), Y(t) - 3, label, kInk);
    }
    canvas.Line(left, top, left, top + ph, kInk);
    canvas.Line(left, top + ph, left + pw, top + ph, kInk);
    canvas.Text(left + (pw - Canvas::Width(plot.xAxis)) / 2, height - 28, plot.xAxis, kInk);
    canvas.Text(14, top + (ph + Canvas::Width(plot.yAxis)) / 2, plot.yAxis, kInk, true);
    for (std::size_t i = 0; i < plot.lines.size(); ++i) {
        const Rgb c = kColours[i % (sizeof(kColours) / sizeof(kColours[0]))];
        const PlotLine& l = plot.lines[i];
        for (std::size_t k = 1; k < l.y.size() && k < plot.x.size(); ++k) {
            if (std::isfinite(l.y[k - 1]) && std::isfinite(l.y[k])) {
                canvas.Line(X(plot.x[k - 1]), Y(l.y[k - 1]), X(plot.x[k]), Y(l.y[k]), c);
                canvas.Line(X(plot.x[k - 1]), Y(l.y[k - 1]) + 1, X(plot.x[k]), Y(l.y[k]) + 1, c);
            }
        }
        // Legend, top right inside the plot area.
        const int ly = top + 10 + static_cast<int>(i) * 14;
        int longest = 0;
        for (const PlotLine& other : plot.lines) {
            longest = std::max(longest, Canvas::Width(other.label));
        }
        const int lx = left + pw - longest - 40;
        canvas.Fill(lx, ly + 2, lx + 18, ly + 4, c);
        canvas.Text(lx + 24, ly, l.label, kInk);
    }
    return canvas.Save(path);
}

} // namespace physics_sim
