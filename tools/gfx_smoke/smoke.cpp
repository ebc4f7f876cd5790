#include "tools/gfx_smoke/smoke.h"

#include <cmath>
#include <cstring>

#include "graphics/core/camera.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/im2d.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/file_system.h"
#include "graphics/core/frame.h"
#include "graphics/core/im3d.h"
#include "graphics/core/image.h"
#include "graphics/core/raster.h"
#include "graphics/toolkits/png_reader.h"
#include "tools/engine_error/engine_error.h"
#include "tools/engine_error/frame_args.h"

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr int kGridHalf = 5; // grid lines at -5..5 along both axes
constexpr int kFanRim = 12;  // rim vertices of the fan (the first again closes it)

OvBool SetState(OvInt32 state, std::uintptr_t value) {
    return OvEngineInstancePtr->dOpenDevice.setRenderState(state, reinterpret_cast<void*>(value));
}

OvV3d Normalised(OvV3d v) {
    const float length = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / length, v.y / length, v.z / length};
}

OvV3d Cross(const OvV3d& a, const OvV3d& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// A frame at `from` whose at axis points to `to`.
OvMatrix LookAt(OvV3d from, OvV3d to) {
    const OvV3d at = Normalised({to.x - from.x, to.y - from.y, to.z - from.z});
    const OvV3d right = Normalised(Cross({0.0f, 1.0f, 0.0f}, at));
    const OvV3d up = Cross(at, right);
    OvMatrix m{};
    m.right = right;
    m.up = up;
    m.at = at;
    m.pos = from;
    m.flags = ovMATRIXTYPEORTHONORMAL;
    return m;
}

// Red, green and blue around the hue circle, as an opaque A8R8G8B8 colour.
OvUInt32 Hue(float turns) {
    auto channel = [turns](float shift) {
        const float v = 0.5f + 0.5f * std::cos(2.0f * kPi * (turns - shift));
        return static_cast<OvUInt32>(std::lround(40.0f + 215.0f * v));
    };
    return 0xFF000000u | channel(0.0f) << 16 | channel(1.0f / 3.0f) << 8 | channel(2.0f / 3.0f);
}

void DrawGrid() {
    OvIm3DVertex lines[2 * 2 * (2 * kGridHalf + 1)] = {};
    int n = 0;
    for (int i = -kGridHalf; i <= kGridHalf; ++i) {
        const auto f = static_cast<float>(i);
        const auto h = static_cast<float>(kGridHalf);
        const OvUInt32 colour = i == 0 ? 0xFFC0C8D0u : 0xFF68788Au;
        lines[n++] = {{f, 0.0f, -h}, {0, 1, 0}, colour, 0, 0};
        lines[n++] = {{f, 0.0f, h}, {0, 1, 0}, colour, 0, 0};
        lines[n++] = {{-h, 0.0f, f}, {0, 1, 0}, colour, 0, 0};
        lines[n++] = {{h, 0.0f, f}, {0, 1, 0}, colour, 0, 0};
    }
    if (OvIm3DTransform(lines, static_cast<OvUInt32>(n), nullptr, ovIM3D_ALLOPAQUE) != nullptr) {
        OvIm3DRenderPrimitive(ovPRIMTYPELINELIST);
        OvIm3DEnd();
    }
}

// A disc of coloured triangles standing on the grid, turned about its axis by the frame number.
void DrawFan(long frame) {
    OvIm3DVertex fan[kFanRim + 2] = {};
    fan[0] = {{0.0f, 0.0f, 0.0f}, {0, 0, -1}, 0xFFFFFFFFu, 0, 0};
    // The rim runs against the angle so that, seen from the camera, the triangles wind
    // counter-clockwise: the front faces the engine's default culling keeps.
    for (int i = 0; i <= kFanRim; ++i) {
        const int k = (kFanRim - i) % kFanRim;
        const float a = 2.0f * kPi * static_cast<float>(k) / kFanRim;
        fan[i + 1] = {
            {1.8f * std::cos(a), 1.8f * std::sin(a), 0.0f}, {0, 0, -1}, Hue(static_cast<float>(k) / kFanRim), 0, 0};
    }
    OvMatrix place{};
    OvMatrixSetIdentity(&place);
    const OvV3d axis = {0.0f, 0.0f, 1.0f};
    OvMatrixRotate(&place, &axis, static_cast<float>(frame % 360) * 3.0f, ovCOMBINEREPLACE);
    const OvV3d lift = {0.0f, 2.2f, 0.0f};
    OvMatrixTranslate(&place, &lift, ovCOMBINEPOSTCONCAT);
    if (OvIm3DTransform(fan, kFanRim + 2, &place, ovIM3D_ALLOPAQUE) != nullptr) {
        OvIm3DRenderPrimitive(ovPRIMTYPETRIFAN);
        OvIm3DEnd();
    }
}

// The textured quad in the top right corner, drawn as two indexed triangles over four vertices.
void DrawQuad(OvRaster* texture, int width, int height) {
    const float scale = static_cast<float>(std::min(width, height)) / 240.0f;
    const float size = 72.0f * scale, margin = 12.0f * scale;
    const float x0 = static_cast<float>(width) - margin - size, x1 = static_cast<float>(width) - margin;
    const float y0 = margin, y1 = margin + size;
    OvD3D9Im2DVertex quad[4] = {
        {x0, y0, 0.0f, 1.0f, 0xFFFFFFFFu, 0.0f, 0.0f}, // top left
        {x1, y1, 0.0f, 1.0f, 0xFFFFFFFFu, 1.0f, 1.0f}, // bottom right
        {x0, y1, 0.0f, 1.0f, 0xFFFFFFFFu, 0.0f, 1.0f}, // bottom left
        {x1, y0, 0.0f, 1.0f, 0xFFFFFFFFu, 1.0f, 0.0f}, // top right
    };
    OvUInt16 indices[6] = {2, 1, 0, 1, 3, 0};
    SetState(ovRENDERSTATEZTESTENABLE, 0);
    SetState(ovRENDERSTATEZWRITEENABLE, 0);
    OvEngineInstancePtr->dOpenDevice.setRenderState(ovRENDERSTATETEXTURERASTER, texture);
    OvEngineInstancePtr->dOpenDevice.im2DRenderIndexedPrimitive(ovPRIMTYPETRILIST, quad, 4, indices, 6);
    OvEngineInstancePtr->dOpenDevice.setRenderState(ovRENDERSTATETEXTURERASTER, nullptr);
    SetState(ovRENDERSTATEZTESTENABLE, 1);
    SetState(ovRENDERSTATEZWRITEENABLE, 1);
}

// What failed and, in words, why; `file` names the file the call read.
std::string EngineError(const char* what, const std::string& file = "") {
    return std::string(what) + " (" + HeldEngineErrorWords({file, false, ""}) + ")";
}

} // namespace

bool SmokeScene::Open(HWND window, int width, int height, const std::string& texturePath, std::string* error) {
    window_ = window;
    OvEngineSetDriver(OvD3D9Driver());
    if (!OvEngineInit(nullptr, 0, 0x400000)) {
        *error = "the graphics engine could not be initialised";
        return false;
    }
    if (!OvEngineOpen(&window_) || !OvEngineStart()) {
        *error = EngineError("the Direct3D 9 device could not be started");
        if (OvEngineGetStatus() == ovENGINESTATUSOPENED) {
            OvEngineClose();
        }
        OvEngineTerm();
        return false;
    }
    open_ = true;
    OvFSManagerOpen(0);
    OvFileSystem* fs = OvWinFSCreate(16, "", "unc");
    if (fs == nullptr || !OvFSManagerRegister(fs)) {
        *error = "the file system could not be set up";
        return false;
    }
    OvFSManagerSetDefaultFileSystem(fs);
    OvImageRegisterFileFormat("png", OvPngImageRead, nullptr);

    OvImage* image = OvImageRead(texturePath.c_str());
    if (image == nullptr) {
        *error = texturePath + ": " + EngineError("cannot read the PNG texture", texturePath);
        return false;
    }
    texture_ = OvRasterCreate(image->width, image->height, 32, ovRASTERTYPETEXTURE | ovRASTERFORMAT8888);
    const bool textured = texture_ != nullptr && OvRasterSetFromImage(texture_, image) != nullptr;
    OvImageDestroy(image);
    if (!textured) {
        *error = texturePath + ": " + EngineError("cannot make a texture of the image");
        return false;
    }

    camera_ = OvCameraCreate();
    cameraFrame_ = OvFrameCreate();
    frameBuffer_ = OvRasterCreate(width, height, 0, ovRASTERTYPECAMERA);
    zBuffer_ = OvRasterCreate(width, height, 0, ovRASTERTYPEZBUFFER);
    if (camera_ == nullptr || cameraFrame_ == nullptr || frameBuffer_ == nullptr || zBuffer_ == nullptr) {
        *error = EngineError("cannot make the camera and its rasters");
        return false;
    }
    camera_->frameBuffer = frameBuffer_;
    camera_->zBuffer = zBuffer_;
    const OvMatrix eye = LookAt({0.0f, 4.5f, -9.0f}, {0.0f, 1.0f, 0.0f});
    OvFrameTransform(cameraFrame_, &eye, ovCOMBINEREPLACE);
    OvCameraSetFrame(camera_, cameraFrame_);
    OvCameraSetNearClipPlane(camera_, 0.5f);
    OvCameraSetFarClipPlane(camera_, 100.0f);
    SetState(ovRENDERSTATEZTESTENABLE, 1);
    SetState(ovRENDERSTATEZWRITEENABLE, 1);
    return true;
}

bool SmokeScene::Draw(long frame) {
    // The view keeps the camera raster's shape (the raster follows the window when it is resized).
    const OvV2d view = {0.6f,
                        0.6f * static_cast<float>(frameBuffer_->height) / static_cast<float>(frameBuffer_->width)};
    if (view.x != camera_->viewWindow.x || view.y != camera_->viewWindow.y) {
        OvCameraSetViewWindow(camera_, &view);
    }
    OvRGBA background = {32, 48, 64, 255};
    OvCameraClear(camera_, &background, ovCAMERACLEARIMAGE | ovCAMERACLEARZ);
    if (OvCameraBeginUpdate(camera_) != nullptr) {
        DrawGrid();
        DrawFan(frame);
        DrawQuad(texture_, frameBuffer_->width, frameBuffer_->height);
        OvCameraEndUpdate(camera_);
    }
    return OvCameraShowRaster(camera_, window_, 0) != nullptr;
}

bool SmokeScene::Read(SmokeFrame* out) {
    const OvUInt8* pixels = OvRasterLock(frameBuffer_, 0, ovRASTERLOCKREAD);
    if (pixels == nullptr) {
        return false;
    }
    out->width = frameBuffer_->width;
    out->height = frameBuffer_->height;
    out->pixels.resize(static_cast<std::size_t>(out->width) * static_cast<std::size_t>(out->height));
    for (int y = 0; y < out->height; ++y) {
        for (int x = 0; x < out->width; ++x) {
            std::uint32_t p;
            std::memcpy(&p, pixels + static_cast<std::ptrdiff_t>(y) * frameBuffer_->stride + x * 4, 4);
            out->pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(out->width) +
                        static_cast<std::size_t>(x)] = p & 0x00FFFFFFu;
        }
    }
    OvRasterUnlock(frameBuffer_);
    return true;
}

void SmokeScene::Close() {
    if (!open_) {
        return;
    }
    for (OvRaster** r : {&texture_, &frameBuffer_, &zBuffer_}) {
        if (*r != nullptr) {
            OvRasterDestroy(*r);
            *r = nullptr;
        }
    }
    if (camera_ != nullptr) {
        OvCameraDestroy(camera_);
        camera_ = nullptr;
    }
    if (cameraFrame_ != nullptr) {
        OvFrameDestroy(cameraFrame_);
        cameraFrame_ = nullptr;
    }
    OvFSManagerClose();
    OvEngineStop();
    OvEngineClose();
    OvEngineTerm();
    OvEngineSetDriver(nullptr);
    open_ = false;
}

std::uint64_t SmokeChecksum(const SmokeFrame& frame) { return FrameChecksum(frame.pixels); }
