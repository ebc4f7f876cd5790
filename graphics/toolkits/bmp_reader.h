#pragma once
// Windows bitmap reader: core (12-byte) and info headers; 1, 4, 8, 15, 16, 24 and 32 bits a
// pixel, uncompressed or (8 bits) run-length encoded. Registered with the image module under
// "bmp" (OvImageRegisterFileFormat("bmp", OvBmpImageRead, nullptr)).

#include "graphics/core/image.h"

// Plugin id of the reader's error reports: 0x80000009 unsupported compression or header,
// 0x80000008 unsupported bit count, 0x80000013 out of memory.
inline constexpr OvInt32 ovPLUGINIDBMPREADER = 0x19D;

// A new image (4-bit for 1 and 4 bits a pixel, 8-bit for 8, else 32-bit), or null.
OvImage* OvBmpImageRead(const char* imageName);
