#pragma once
// Uncompressed 24-bit bitmaps for the images the framework reads as ".bmp".

#include <vector>

namespace mkasset {

// An uncompressed 24-bit bitmap (file header, 40-byte info header, rows bottom-up, padded to 4
// bytes); `rgb` holds the rows top-down, three bytes a pixel.
std::vector<unsigned char> BmpFile(int width, int height, const std::vector<unsigned char>& rgb);

} // namespace mkasset
