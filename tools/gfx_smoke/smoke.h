#pragma once
// The smoke scene: the graphics engine on the Direct3D 9 driver and a platform window, a camera
// with its camera and z rasters, and per frame a clear to (32, 48, 64), an immediate-mode 3D grid
// of lines and a coloured triangle fan turning with the frame number, an immediate-mode 2D
// textured quad, and the show.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

struct OvCamera;
struct OvRaster;
struct OvFrame;

struct SmokeFrame {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels; // 0x00RRGGBB, rows top down
};

class SmokeScene {
public:
    // Starts the engine on the window (client size width x height) and makes the camera and the
    // quad's texture from the PNG file; false with a message in *error.
    bool Open(HWND window, int width, int height, const std::string& texturePath, std::string* error);
    // Draws and shows frame number `frame`; false when the frame could not be shown.
    bool Draw(long frame);
    // The frame shown last, read back from the camera raster.
    bool Read(SmokeFrame* out);
    void Close();
    ~SmokeScene() { Close(); }

private:
    bool open_ = false;
    HWND window_ = nullptr;
    OvCamera* camera_ = nullptr;
    OvFrame* cameraFrame_ = nullptr;
    OvRaster* frameBuffer_ = nullptr;
    OvRaster* zBuffer_ = nullptr;
    OvRaster* texture_ = nullptr;
};

// FNV-1a (64 bits) over the red, green and blue bytes of every pixel, rows top down.
std::uint64_t SmokeChecksum(const SmokeFrame& frame);
