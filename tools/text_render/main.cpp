// text_render: draws one line of text with a font of the 2D toolkit, headless, on the graphics
// engine's Direct3D 9 driver, and writes the frame as a PNG. See usage below.

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/core/camera.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/file_system.h"
#include "graphics/core/frame.h"
#include "graphics/core/image.h"
#include "graphics/core/raster.h"
#include "graphics/core/texture.h"
#include "graphics/toolkits/bmp_reader.h"
#include "graphics/toolkits/png_reader.h"
#include "graphics/toolkits/toolkit2d.h"
#include "platform/controls.h"
#include "platform/win32.h"
#include "tools/engine_error/engine_error.h"
#include "tools/engine_error/frame_args.h"
#include "tools/engine_error/tool_engine.h"

namespace {

const char kUsage[] =
    "usage: text_render --font DIR/NAME --text TEXT --size WxH --out FILE.png\n"
    "Draws TEXT in one line, centred, with the font NAME (DIR/NAME.met and its page images) on the\n"
    "graphics engine's Direct3D 9 driver without a window, and writes the frame as an 8-bit RGB PNG.\n"
    "The text is white on (24, 32, 40), as tall as a whole number of the font's own pixel rows that\n"
    "fits in 70% of the height and, with a margin of 4 pixels, in the width (at least one).\n"
    "  --font DIR/NAME  the font: its metrics file DIR/NAME.met\n"
    "  --text TEXT      the characters (8-bit; characters without a glyph are skipped)\n"
    "  --size WxH       frame size in pixels, 1 to 4096 each way\n"
    "  --out FILE.png   the picture to write\n"
    "Prints the size, the text height in pixels and a checksum of the frame (FNV-1a over the red,\n"
    "green and blue bytes of every pixel, rows top down).\n"
    "Exit status 0 on success, 1 when the engine, the font or the output fails, 2 on bad usage.\n";

struct Options {
    std::string font;
    std::string text;
    bool hasText = false;
    int width = 0;
    int height = 0;
    std::string out;
};

int BadUsage(const char* message, const char* argument) {
    std::fprintf(stderr, "text_render: %s: %s\n%s", message, argument, kUsage);
    return 2;
}

// -1 when the options are fine, else the exit status.
int Parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a != "--font" && a != "--text" && a != "--size" && a != "--out") {
            return BadUsage("unknown argument", argv[i]);
        }
        if (i + 1 >= argc) {
            return BadUsage("missing value after", argv[i]);
        }
        const char* value = argv[++i];
        if (a == "--font") {
            o->font = value;
            const std::size_t slash = o->font.find_last_of('/');
            if (o->font.empty() || slash == o->font.size() - 1) {
                return BadUsage("--font wants DIR/NAME, not", value);
            }
        } else if (a == "--text") {
            o->text = value;
            o->hasText = true;
        } else if (a == "--size") {
            if (!ParseFrameSize(value, &o->width, &o->height)) {
                return BadUsage("--size wants WxH with sides of 1 to 4096, not", value);
            }
        } else {
            o->out = value;
        }
    }
    for (const auto& [missing, name] : {std::pair{o->font.empty(), "--font"},
                                        {!o->hasText, "--text"},
                                        {o->width == 0, "--size"},
                                        {o->out.empty(), "--out"}}) {
        if (missing) {
            return BadUsage("missing option", name);
        }
    }
    return -1;
}

std::string EngineError() { return HeldEngineErrorWords(); }

// Engine blend functions.
constexpr std::uintptr_t kBlendSrcAlpha = 5;
constexpr std::uintptr_t kBlendInvSrcAlpha = 6;

OvBool SetState(OvInt32 state, std::uintptr_t value) {
    return OvEngineInstancePtr->dOpenDevice.setRenderState(state, reinterpret_cast<void*>(value));
}

OvTexture* PointSampled(OvTexture* texture, void*) {
    texture->filterAddressing = (texture->filterAddressing & ~ovTEXTUREFILTERMODEMASK) | ovFILTERNEAREST;
    return texture;
}

// The engine, a camera with its rasters and the toolkit, taken down in reverse.
class Renderer {
public:
    ~Renderer() { Close(); }

    bool Open(int width, int height, std::string* error) {
        if (!engine_.Open("text_render", width, height, 0x400000, {}, error)) {
            return false;
        }
        camera_ = OvCameraCreate();
        frame_ = OvFrameCreate();
        if (camera_ == nullptr || frame_ == nullptr) {
            *error = "cannot make the camera (" + EngineError() + ")";
            return false;
        }
        camera_->frameBuffer = engine_.FrameBuffer();
        camera_->zBuffer = engine_.ZBuffer();
        OvCameraSetFrame(camera_, frame_);
        const OvV2d view = {0.5f, 0.5f * static_cast<float>(height) / static_cast<float>(width)};
        OvCameraSetViewWindow(camera_, &view);
        OvCameraSetNearClipPlane(camera_, 0.1f);
        OvCameraSetFarClipPlane(camera_, 10.0f);
        OvFrameSyncDirty();
        if (!Ov2dOpen(camera_)) {
            *error = "cannot open the 2D toolkit (" + EngineError() + ")";
            return false;
        }
        toolkit_ = true;
        // Just in front of the near plane, as the game's HUD draws.
        Ov2dDeviceSetLayerDepth(0.1f * 1.1f);
        Ov2dDeviceSetFlatness(1.0f);
        return true;
    }

    // Reads the font; its textures are point sampled so that glyph pixels stay sharp.
    Ov2dFont* ReadFont(const std::string& dirAndName, std::string* error) {
        const std::size_t slash = dirAndName.find_last_of('/');
        const std::string dir = slash == std::string::npos ? "" : dirAndName.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? dirAndName : dirAndName.substr(slash + 1);
        Ov2dFontSetPath(dir.c_str());
        font_ = Ov2dFontRead(name.c_str());
        if (font_ == nullptr) {
            *error = Ov2dFontGetReadError();
            return nullptr;
        }
        std::fputs(Ov2dFontGetSkippedLines(), stderr); // lines that are not glyphs, with why
        OvTexDictionaryForAllTextures(Ov2dFontGetTexDictionary(), PointSampled, nullptr);
        return font_;
    }

    // Draws the text centred; returns the height in pixels.
    int Draw(const std::string& given) {
        // A font with characters beyond 127 reads 16-bit strings: each byte of the text is one.
        std::string text = given;
        if ((font_->flags & ov2dFONTFLAG16BIT) != 0) {
            text.clear();
            for (char c : given) {
                text += c;
                text += '\0';
            }
            text += '\0'; // with the string's own terminator, two zero bytes
        }
        const int width = engine_.FrameBuffer()->width, height = engine_.FrameBuffer()->height;
        const float unit = static_cast<float>(std::min(width, height)); // pixels per toolkit unit
        const float fontPixels = font_->height > 0.0f ? font_->height : 16.0f;
        const float widthPerPixel = Ov2dFontGetStringWidth(font_, text.c_str(), 1.0f); // per pixel of height
        int scale = static_cast<int>(std::floor(0.7f * static_cast<float>(height) / fontPixels));
        if (widthPerPixel > 0.0f) {
            const float fit = (static_cast<float>(width) - 8.0f) / (widthPerPixel * fontPixels);
            scale = std::min(scale, static_cast<int>(std::floor(fit)));
        }
        scale = std::max(scale, 1);
        const float pixels = fontPixels * static_cast<float>(scale);
        // Whole pixels for the left edge and the glyph box's bottom keep texels on pixel centres.
        const float left = std::floor((static_cast<float>(width) - widthPerPixel * pixels) * 0.5f);
        const float bottom = std::floor((static_cast<float>(height) - pixels) * 0.5f);
        const OvV2d anchor = {left / unit, (bottom + font_->baseline * pixels) / unit};

        OvRGBA background = {24, 32, 40, 255};
        OvCameraClear(camera_, &background, ovCAMERACLEARIMAGE | ovCAMERACLEARZ);
        if (OvCameraBeginUpdate(camera_) != nullptr) {
            SetState(ovRENDERSTATEZTESTENABLE, 0);
            SetState(ovRENDERSTATEZWRITEENABLE, 0);
            SetState(ovRENDERSTATECULLMODE, D3DCULL_NONE);
            SetState(ovRENDERSTATESRCBLEND, kBlendSrcAlpha);
            SetState(ovRENDERSTATEDESTBLEND, kBlendInvSrcAlpha);
            Ov2dBrush* brush = Ov2dBrushCreate();
            if (brush != nullptr) {
                Ov2dFontShow(font_, text.c_str(), pixels / unit, &anchor, brush);
                Ov2dBrushDestroy(brush);
            }
            OvCameraEndUpdate(camera_);
        }
        return static_cast<int>(pixels);
    }

    bool Read(std::vector<std::uint32_t>* pixels) const { return engine_.ReadFrame(pixels); }

    void Close() {
        if (font_ != nullptr) {
            Ov2dFontDestroy(font_);
            font_ = nullptr;
        }
        if (toolkit_) {
            Ov2dClose();
            toolkit_ = false;
        }
        if (camera_ != nullptr) {
            OvCameraDestroy(camera_);
            camera_ = nullptr;
        }
        if (frame_ != nullptr) {
            OvFrameDestroy(frame_);
            frame_ = nullptr;
        }
        engine_.Close();
    }

private:
    ToolEngine engine_;
    bool toolkit_ = false;
    OvCamera* camera_ = nullptr;
    OvFrame* frame_ = nullptr;
    Ov2dFont* font_ = nullptr;
};

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int status = Parse(argc, argv, &o); status >= 0) {
        return status;
    }
    setenv("PLATFORM_HEADLESS", "1", 1);
    Renderer renderer;
    std::string error;
    if (!renderer.Open(o.width, o.height, &error)) {
        std::fprintf(stderr, "text_render: %s\n", error.c_str());
        return 1;
    }
    if (renderer.ReadFont(o.font, &error) == nullptr) {
        std::fprintf(stderr, "text_render: %s: cannot read the font: %s\n", o.font.c_str(), error.c_str());
        return 1;
    }
    const int pixels = renderer.Draw(o.text);
    std::vector<std::uint32_t> frame;
    if (!renderer.Read(&frame)) {
        std::fprintf(stderr, "text_render: cannot read the frame back\n");
        return 1;
    }
    if (!PlatformWritePng(o.out.c_str(), frame.data(), static_cast<UINT>(o.width), static_cast<UINT>(o.height),
                          static_cast<UINT>(o.width) * 4, &error)) {
        std::fprintf(stderr, "text_render: %s: %s\n", o.out.c_str(), error.c_str());
        return 1;
    }
    std::printf("%dx%d, text %d pixels high, checksum %016" PRIx64 "\n", o.width, o.height, pixels,
                FrameChecksum(frame));
    return 0;
}
