// The graphics engine of a tool that draws frames: a window (headless when there is no display),
// the Direct3D 9 driver started on it, the default file system and the PNG and BMP readers, and
// the camera's frame and z rasters. Close takes it down in reverse; the tool destroys its own
// objects first.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "graphics/core/raster.h"
#include "platform/win32.h"

class ToolEngine {
public:
    ToolEngine() = default;
    ToolEngine(const ToolEngine&) = delete;
    ToolEngine& operator=(const ToolEngine&) = delete;
    ~ToolEngine() { Close(); }

    // `name` is the window's class and title; `attach` (may be empty) attaches plugins between
    // the engine's start-up and the device's, and says why it failed in *error.
    bool Open(const char* name, int width, int height, OvUInt32 arenaBytes,
              const std::function<bool(std::string*)>& attach, std::string* error);
    void Close();

    OvRaster* FrameBuffer() const { return frameBuffer_; }
    OvRaster* ZBuffer() const { return zBuffer_; }
    // The frame buffer's pixels as 0x00RRGGBB, rows top down; false when it cannot be locked.
    bool ReadFrame(std::vector<std::uint32_t>* pixels) const;

private:
    HWND window_ = nullptr;
    bool inited_ = false;
    bool started_ = false;
    OvRaster* frameBuffer_ = nullptr;
    OvRaster* zBuffer_ = nullptr;
};
