#include "tools/mkasset/bmp_writer.h"

namespace mkasset {

namespace {

void Put16(std::vector<unsigned char>* b, unsigned v) {
    b->push_back(static_cast<unsigned char>(v & 0xFF));
    b->push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}
void Put32(std::vector<unsigned char>* b, unsigned v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

} // namespace

std::vector<unsigned char> BmpFile(int width, int height, const std::vector<unsigned char>& rgb) {
    const unsigned rowBytes = (static_cast<unsigned>(width) * 3 + 3) & ~3u;
    const unsigned pixelBytes = rowBytes * static_cast<unsigned>(height);
    std::vector<unsigned char> b;
    b.push_back('B');
    b.push_back('M');
    Put32(&b, 14 + 40 + pixelBytes);
    Put32(&b, 0);
    Put32(&b, 14 + 40);
    Put32(&b, 40);
    Put32(&b, static_cast<unsigned>(width));
    Put32(&b, static_cast<unsigned>(height));
    Put16(&b, 1);  // planes
    Put16(&b, 24); // bits a pixel
    Put32(&b, 0);  // no compression
    Put32(&b, pixelBytes);
    Put32(&b, 2835); // 72 dots an inch
    Put32(&b, 2835);
    Put32(&b, 0);
    Put32(&b, 0);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            const unsigned char* p = &rgb[static_cast<std::size_t>((y * width + x) * 3)];
            b.push_back(p[2]);
            b.push_back(p[1]);
            b.push_back(p[0]);
        }
        for (unsigned pad = static_cast<unsigned>(width) * 3; pad < rowBytes; ++pad) {
            b.push_back(0);
        }
    }
    return b;
}

} // namespace mkasset
