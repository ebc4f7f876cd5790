#pragma once
// A small RGB canvas for the tools' plots: lines, boxes, discs, rings, crosses and text in a built-in
// 5 x 7 bitmap font (capitals, digits and common signs; small letters print as capitals), saved as
// an 8-bit RGB PNG through libpng. Points outside the canvas are clipped.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plot {

struct Rgb {
    uint8_t r, g, b;
};

constexpr Rgb kPaper{255, 255, 255};
constexpr Rgb kInk{30, 30, 30};

// Colour of series i among n: evenly spaced hues, so no two of up to 24 series share one; beyond
// that the hues follow the golden angle. The first series is blue.
Rgb SeriesColour(std::size_t i, std::size_t n);

class Canvas {
public:
    Canvas(int width, int height);

    // The pixel at (x, y); paper outside the canvas.
    Rgb At(int x, int y) const {
        return x >= 0 && x < m_width && y >= 0 && y < m_height ? m_pixels[static_cast<size_t>(y) * m_width + x]
                                                               : kPaper;
    }
    void Put(int x, int y, Rgb colour) {
        if (x >= 0 && x < m_width && y >= 0 && y < m_height)
            m_pixels[static_cast<size_t>(y) * m_width + x] = colour;
    }
    void Line(int x0, int y0, int x1, int y1, Rgb colour);
    void Fill(int x0, int y0, int x1, int y1, Rgb colour); // inclusive corners
    void Disc(int cx, int cy, int radius, Rgb colour);
    void Ring(int cx, int cy, int radius, Rgb colour);  // two pixels wide
    void Cross(int cx, int cy, int radius, Rgb colour); // three pixels wide
    // Text with its top-left corner at (x, y); `size` pixels per font cell. Answers the width.
    int Text(int x, int y, const std::string& text, Rgb colour, int size = 1);
    // Text running upwards from (x, y): a caption along a vertical axis.
    void TextUp(int x, int y, const std::string& text, Rgb colour);
    static int TextWidth(const std::string& text, int size = 1) { return static_cast<int>(text.size()) * 6 * size; }

    // Writes the canvas as a PNG file; false when the file cannot be written.
    bool Save(const char* path) const;

private:
    int m_width;
    int m_height;
    std::vector<Rgb> m_pixels; // row-major, top row first
};

} // namespace plot
