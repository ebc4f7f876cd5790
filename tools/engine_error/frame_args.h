// What the tools that draw a frame share: the --size WxH argument and the frame's checksum.
#pragma once

#include <cstdint>
#include <vector>

// Reads "WxH" with sides of 1 to 4096; false (outputs untouched) on anything else.
bool ParseFrameSize(const char* text, int* width, int* height);

// FNV-1a over the red, green and blue bytes of every pixel (0xAARRGGBB), in the order given.
std::uint64_t FrameChecksum(const std::vector<std::uint32_t>& pixels);
