#include "tools/plot/canvas.h"

#include <png.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace plot {

namespace {

// 5 x 7 glyphs, one string of 35 cells per character ('#' ink, '.' paper), rows top down.
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
    {' ', "..................................."}, {':', "......##...##........##...##......."},
    {';', "......##...##........##...##...#..."}, {'.', ".........................##...##..."},
    {',', "....................##...##...#...."}, {'-', "...............###................."},
    {'+', ".......#....#..#####..#....#......."}, {'/', ".........#...#...#...#...#........."},
    {'(', "...#...#...#....#....#.....#.....#."}, {')', ".#.....#.....#....#....#...#...#..."},
    {'=', "..........#####.....#####.........."}, {'%', "##...##..#...#...#...#...#..##...##"},
    {'<', "...#...#...#...#.....#.....#.....#."}, {'>', ".#.....#.....#.....#...#...#...#..."},
    {'_', "..............................#####"}, {'\'', "..#....#...#......................."},
    {'?', ".###.#...#....#...#...#.........#.."}, {'!', "..#....#....#....#....#.........#.."},
    {'*', ".......#..#.#.#.###.#.#.#..#......."}, {'|', "..#....#....#....#....#....#....#.."},
    {'^', "..#...#.#.#...#...................."},
};

const char* GlyphRows(char c) {
    if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    for (const Glyph& glyph : kFont)
        if (glyph.c == c)
            return glyph.rows;
    return GlyphRows('?');
}

} // namespace

Rgb SeriesColour(std::size_t i, std::size_t n) {
    // The first series is blue, so that the legend's sample trail is not read as a threat's red.
    const double step = n <= 24 ? 1.0 / static_cast<double>(n ? n : 1) : 0.618033988749895;
    const double hue = std::fmod(0.6 + static_cast<double>(i) * step, 1.0);
    // Saturated, darkish colours stay readable on white; alternate the value a little for neighbours.
    const double value = i % 2 == 0 ? 0.80 : 0.62;
    const double saturation = 0.85;
    const double h = hue * 6.0;
    const int sector = static_cast<int>(h) % 6;
    const double f = h - std::floor(h);
    const double p = value * (1 - saturation), q = value * (1 - saturation * f), t = value * (1 - saturation * (1 - f));
    double r = value, g = t, b = p;
    switch (sector) {
    case 1:
        r = q, g = value, b = p;
        break;
    case 2:
        r = p, g = value, b = t;
        break;
    case 3:
        r = p, g = q, b = value;
        break;
    case 4:
        r = t, g = p, b = value;
        break;
    case 5:
        r = value, g = p, b = q;
        break;
    default:
        break;
    }
    return Rgb{static_cast<uint8_t>(r * 255), static_cast<uint8_t>(g * 255), static_cast<uint8_t>(b * 255)};
}

Canvas::Canvas(int width, int height)
    : m_width(width), m_height(height), m_pixels(static_cast<size_t>(width) * height, kPaper) {}

void Canvas::Line(int x0, int y0, int x1, int y1, Rgb colour) {
    const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    int error = dx + dy;
    for (;;) {
        Put(x0, y0, colour);
        if (x0 == x1 && y0 == y1)
            break;
        const int twice = 2 * error;
        if (twice >= dy) {
            error += dy;
            x0 += sx;
        }
        if (twice <= dx) {
            error += dx;
            y0 += sy;
        }
    }
}

void Canvas::Fill(int x0, int y0, int x1, int y1, Rgb colour) {
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            Put(x, y, colour);
}

void Canvas::Disc(int cx, int cy, int radius, Rgb colour) {
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx)
            if (dx * dx + dy * dy <= radius * radius)
                Put(cx + dx, cy + dy, colour);
}

void Canvas::Ring(int cx, int cy, int radius, Rgb colour) {
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx) {
            const int d = dx * dx + dy * dy;
            if (d <= radius * radius && d >= (radius - 2) * (radius - 2))
                Put(cx + dx, cy + dy, colour);
        }
}

void Canvas::Cross(int cx, int cy, int radius, Rgb colour) {
    for (int k = -1; k <= 1; ++k) {
        Line(cx - radius, cy - radius + k, cx + radius, cy + radius + k, colour);
        Line(cx - radius, cy + radius + k, cx + radius, cy - radius + k, colour);
    }
}

int Canvas::Text(int x, int y, const std::string& text, Rgb colour, int size) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char* rows = GlyphRows(text[i]);
        for (int r = 0; r < 7; ++r)
            for (int c = 0; c < 5; ++c)
                if (rows[r * 5 + c] == '#')
                    Fill(x + (static_cast<int>(i) * 6 + c) * size, y + r * size,
                         x + (static_cast<int>(i) * 6 + c) * size + size - 1, y + r * size + size - 1, colour);
    }
    return TextWidth(text, size);
}

void Canvas::TextUp(int x, int y, const std::string& text, Rgb colour) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char* rows = GlyphRows(text[i]);
        for (int r = 0; r < 7; ++r)
            for (int c = 0; c < 5; ++c)
                if (rows[r * 5 + c] == '#')
                    Put(x + r, y - (static_cast<int>(i) * 6 + c), colour);
    }
}

bool Canvas::Save(const char* path) const {
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    bool ok = info != nullptr;
    if (ok && setjmp(png_jmpbuf(png)) != 0) {
        ok = false;
    } else if (ok) {
        png_init_io(png, file);
        png_set_IHDR(png, info, m_width, m_height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < m_height; ++y)
            png_write_row(png, reinterpret_cast<png_const_bytep>(&m_pixels[static_cast<size_t>(y) * m_width]));
        png_write_end(png, nullptr);
    }
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0 && ok;
}

} // namespace plot
