#pragma once
// Test support: the bytes of a bitmap file written field by field from known pixels.

#include <cstddef>
#include <cstdint>
#include <vector>

struct Rgb {
    std::uint8_t r, g, b;
};

// A bitmap written field by field from known pixels: palette indices for up to 8 bits a pixel,
// colours otherwise (15 and 16-bit colours are written with their low bits zero, so they survive).
struct Bmp {
    int width = 1;
    int height = 1;
    int bitCount = 24;
    bool coreHeader = false;
    std::uint32_t usedColours = 0;
    std::uint32_t compression = 0;
    std::vector<Rgb> palette;          // entries written
    std::vector<std::uint8_t> indices; // width * height, top row first
    std::vector<Rgb> colours;          // width * height, top row first
    std::vector<std::uint8_t> rle;     // pixel data as given (compressed files)

    std::vector<std::uint8_t> Bytes() const {
        std::vector<std::uint8_t> pixels = rle;
        if (compression == 0) {
            const int bits = bitCount == 15 ? 16 : bitCount;
            const std::size_t rowBytes = ((static_cast<std::size_t>(width) * bits + 7) / 8 + 3) & ~std::size_t{3};
            for (int k = 0; k < height; ++k) {
                std::vector<std::uint8_t> row(rowBytes, 0);
                const int y = height - 1 - k;
                for (int x = 0; x < width; ++x) {
                    const std::size_t i = static_cast<std::size_t>(y) * width + x;
                    switch (bitCount) {
                    case 1:
                        row[x >> 3] |= static_cast<std::uint8_t>(indices[i] << (7 - (x & 7)));
                        break;
                    case 4:
                        row[x >> 1] |= static_cast<std::uint8_t>((x & 1) ? indices[i] : indices[i] << 4);
                        break;
                    case 8:
                        row[x] = indices[i];
                        break;
                    case 15:
                    case 16: {
                        const Rgb c = colours[i];
                        const unsigned p = bitCount == 15 ? (c.r >> 3) << 10 | (c.g >> 3) << 5 | c.b >> 3
                                                          : (c.r >> 3) << 11 | (c.g >> 2) << 5 | c.b >> 3;
                        row[2 * x] = static_cast<std::uint8_t>(p);
                        row[2 * x + 1] = static_cast<std::uint8_t>(p >> 8);
                        break;
                    }
                    default: {
                        const int n = bitCount / 8;
                        row[n * x] = colours[i].b;
                        row[n * x + 1] = colours[i].g;
                        row[n * x + 2] = colours[i].r;
                        break;
                    }
                    }
                }
                pixels.insert(pixels.end(), row.begin(), row.end());
            }
        }
        std::vector<std::uint8_t> info;
        auto u16 = [&info](unsigned v) {
            info.push_back(v & 0xFF);
            info.push_back((v >> 8) & 0xFF);
        };
        auto u32 = [&](std::uint32_t v) {
            u16(v & 0xFFFF);
            u16(v >> 16);
        };
        if (coreHeader) {
            u32(12);
            u16(width);
            u16(height);
            u16(1);
            u16(bitCount);
        } else {
            u32(40);
            u32(width);
            u32(height);
            u16(1);
            u16(bitCount);
            u32(compression);
            u32(static_cast<std::uint32_t>(pixels.size()));
            u32(2835);
            u32(2835);
            u32(usedColours);
            u32(0);
        }
        for (const Rgb& c : palette) {
            info.insert(info.end(), {c.b, c.g, c.r});
            if (!coreHeader) {
                info.push_back(0);
            }
        }
        std::vector<std::uint8_t> file = {'B', 'M'};
        auto put32 = [&file](std::uint32_t v) {
            for (int i = 0; i < 4; ++i)
                file.push_back((v >> (8 * i)) & 0xFF);
        };
        put32(static_cast<std::uint32_t>(14 + info.size() + pixels.size()));
        put32(0);
        put32(static_cast<std::uint32_t>(14 + info.size()));
        file.insert(file.end(), info.begin(), info.end());
        file.insert(file.end(), pixels.begin(), pixels.end());
        return file;
    }
};
