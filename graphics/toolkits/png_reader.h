#pragma once
// PNG reader over the engine's file streams and memory. Registered with the image module under
// "png" (OvImageRegisterFileFormat("png", OvPngImageRead, nullptr)).

#include "graphics/core/image.h"

// A new image, or null: gray becomes 8-bit with a gray-ramp palette, palette images 8-bit (or
// 4-bit below 8 bits a pixel), everything else 32-bit red, green, blue, alpha; 16-bit
// channels keep their high byte.
OvImage* OvPngImageRead(const char* imageName);
