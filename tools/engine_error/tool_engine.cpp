#include "tools/engine_error/tool_engine.h"

#include <cstring>

#include "graphics/core/d3d9/device.h"
#include "graphics/core/engine.h"
#include "graphics/core/file_system.h"
#include "graphics/core/image.h"
#include "graphics/toolkits/bmp_reader.h"
#include "graphics/toolkits/png_reader.h"
#include "tools/engine_error/engine_error.h"

bool ToolEngine::Open(const char* name, int width, int height, OvUInt32 arenaBytes,
                      const std::function<bool(std::string*)>& attach, std::string* error) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = name;
    RegisterClassA(&wc);
    window_ = CreateWindowExA(0, name, name, WS_OVERLAPPEDWINDOW, 0, 0, width, height, nullptr, nullptr, wc.hInstance,
                              nullptr);
    if (window_ == nullptr) {
        *error = "cannot create the window";
        return false;
    }
    OvEngineSetDriver(OvD3D9Driver());
    if (!OvEngineInit(nullptr, 0, arenaBytes)) {
        *error = "the graphics engine could not be initialised";
        return false;
    }
    inited_ = true;
    if (attach && !attach(error)) {
        return false;
    }
    if (!OvEngineOpen(&window_) || !OvEngineStart()) {
        *error = "the Direct3D 9 device could not be started (" + HeldEngineErrorWords() + ")";
        return false;
    }
    started_ = true;
    OvFSManagerOpen(0);
    OvFileSystem* fs = OvWinFSCreate(16, "", "unc");
    if (fs == nullptr || !OvFSManagerRegister(fs)) {
        *error = "the file system could not be set up";
        return false;
    }
    OvFSManagerSetDefaultFileSystem(fs);
    OvImageRegisterFileFormat("png", OvPngImageRead, nullptr);
    OvImageRegisterFileFormat("bmp", OvBmpImageRead, nullptr);
    frameBuffer_ = OvRasterCreate(width, height, 0, ovRASTERTYPECAMERA);
    zBuffer_ = OvRasterCreate(width, height, 0, ovRASTERTYPEZBUFFER);
    if (frameBuffer_ == nullptr || zBuffer_ == nullptr) {
        *error = "cannot make the frame's rasters (" + HeldEngineErrorWords() + ")";
        return false;
    }
    return true;
}

bool ToolEngine::ReadFrame(std::vector<std::uint32_t>* pixels) const {
    const OvUInt8* bits = frameBuffer_ == nullptr ? nullptr : OvRasterLock(frameBuffer_, 0, ovRASTERLOCKREAD);
    if (bits == nullptr) {
        return false;
    }
    const int width = frameBuffer_->width, height = frameBuffer_->height;
    pixels->resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint32_t p;
            std::memcpy(&p, bits + static_cast<std::ptrdiff_t>(y) * frameBuffer_->stride + 4 * x, 4);
            (*pixels)[static_cast<std::size_t>(y * width + x)] = p & 0x00FFFFFFu;
        }
    }
    OvRasterUnlock(frameBuffer_);
    return true;
}

void ToolEngine::Close() {
    for (OvRaster** r : {&frameBuffer_, &zBuffer_}) {
        if (*r != nullptr) {
            OvRasterDestroy(*r);
            *r = nullptr;
        }
    }
    if (started_) {
        OvFSManagerClose();
        OvEngineStop();
        OvEngineClose();
        started_ = false;
    } else if (OvEngineGetStatus() == ovENGINESTATUSOPENED) {
        OvEngineClose();
    }
    if (inited_) {
        OvEngineTerm();
        OvEngineSetDriver(nullptr);
        inited_ = false;
    }
    if (window_ != nullptr) {
        DestroyWindow(window_);
        window_ = nullptr;
    }
}
