#include "framework/lights_font.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/camera_manager.h"
#include "framework/config_checks.h"
#include "framework/framework.h"
#include "framework/level_objects.h"
#include "framework/read_faults.h"
#include "framework/world_manager.h"
#include "graphics/core/camera.h"
#include "graphics/core/file_system.h"
#include "graphics/core/frame.h"
#include "graphics/core/texture.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/toolkits/toolkit2d.h"
#include "graphics/world/light.h"
#include "platform/crt.h"

CFont* g_font = nullptr;

namespace {

bool Is(const char* a, const char* b) { return _stricmp(a, b) == 0; }

OvV3d Normalised(const OvV3d& v) {
    const float length = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / length, v.y / length, v.z / length};
}

OvV3d Cross(const OvV3d& a, const OvV3d& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Reads x, y and z at positions 0, 1 and 2; false when one is missing.
bool ReadPoint(const char** attributes, OvV3d* out) {
    OvV3d p = *out;
    if (!ReadFloatAttribute("x", attributes, 0, &p.x) || !ReadFloatAttribute("y", attributes, 1, &p.y) ||
        !ReadFloatAttribute("z", attributes, 2, &p.z)) {
        ConfigWarning("a light's point without its x, y and z in that order is left out; the light keeps its own");
        return false;
    }
    *out = p;
    return true;
}

// The font reader's text with the font folder written as the messages write paths ("FONTS/").
std::string WithFontFolder(std::string text) {
    const std::string folder = std::string("FONTS") + SkelPathSeparator();
    for (std::size_t at = text.find(folder); at != std::string::npos; at = text.find(folder, at + 1)) {
        text.replace(at, folder.size(), "FONTS/");
    }
    return text;
}

// The characters the game draws: letters, digits, the space and the signs of the framework's own
// texts (the frame rate, the world statistics, the camera's place, the drag and switch hints) and
// of the game's order ("F1: Take cover"); and every character of config.xml's fixed camera names and
// switch hints. Each a byte of the text, which is the character's code in the font.
constexpr const char* kDrawnSigns = " .:[]+(),-";

void MarkDrawn(const char* text, bool drawn[256]) {
    for (const char* p = text; *p != '\0'; ++p) {
        drawn[static_cast<unsigned char>(*p)] = true;
    }
}

// The largest code the font has a glyph for, -1 for none.
int HighestCode(const Ov2dFont* font) {
    if (font->extMap != nullptr && font->extCount > 0) {
        return font->extFirst + font->extCount - 1;
    }
    int code = ov2dFONTMAPSIZE - 1;
    while (code >= 0 && font->map[code] < 0) {
        --code;
    }
    return code;
}

// The lines the font's reader left out (not glyphs, glyphs lost), each said with the file, the
// line and why. Then, once, the characters the game draws that the font has no glyph for: the text
// shows without them. When all lie beyond the font's last glyph and no line was left out, the file
// ends before them (cut short): said with its last line.
void WarnOfMissingCharacters(const std::string& metrics, const Ov2dFont* font) {
    const std::string skipped = WithFontFolder(Ov2dFontGetSkippedLines());
    for (std::size_t at = 0, end; (end = skipped.find('\n', at)) != std::string::npos; at = end + 1) {
        SkelWarningMessage(skipped.substr(at, end - at).c_str());
    }
    bool drawn[256] = {};
    for (const char* range : {"09", "AZ", "az"}) {
        for (int c = range[0]; c <= range[1]; ++c) {
            drawn[c] = true;
        }
    }
    MarkDrawn(kDrawnSigns, drawn);
    for (int i = 0; g_cameraManager != nullptr && i < g_cameraManager->FixedCount(); ++i) {
        MarkDrawn(g_cameraManager->FixedName(i), drawn);
    }
    for (int i = 0; g_worldManager != nullptr && i < g_worldManager->SwitchCount(); ++i) {
        if (const CSwitch* s = g_worldManager->GetSwitch(i)) {
            MarkDrawn(s->stringOn, drawn);
            MarkDrawn(s->stringOff, drawn);
        }
    }
    constexpr int kNamed = 16;
    std::string missing;
    int absent = 0, lowest = 0;
    for (int c = 1; c < 256; ++c) {
        if (!drawn[c] || Ov2dFontGetGlyph(font, c) != nullptr) {
            continue;
        }
        if (++absent == 1) {
            lowest = c;
        }
        if (absent <= kNamed) {
            char name[12];
            std::snprintf(name, sizeof name, c >= 0x20 && c < 0x7F ? "'%c'" : "U+%04X", c);
            missing += (absent > 1 ? ", " : "") + std::string(name);
        }
    }
    if (absent == 0) {
        return;
    }
    if (absent > kNamed) {
        missing += " and " + std::to_string(absent - kNamed) + " more";
    }
    const std::string which = std::to_string(absent) + " of the characters the game draws (" + missing + "); " +
                              (absent > 1 ? "they are" : "it is") + " not drawn";
    if (lowest <= HighestCode(font) || !skipped.empty()) {
        SkelWarningMessage((metrics + ": the font has no glyph for " + which).c_str());
        return;
    }
    // The file's last line, counted as the reader counts them.
    char* path = SkelPathCreate(metrics.c_str());
    OvFile* file = path != nullptr ? OvFSManagerFopen(path, "r") : nullptr;
    SkelPathDestroy(path);
    int number = 0;
    char line[ov2dMETRICSLINESIZE];
    while (file != nullptr && OvFSManagerFgets(line, sizeof line, file) != nullptr) {
        ++number;
    }
    if (file != nullptr) {
        OvFSManagerFclose(file);
    }
    SkelWarningMessage((metrics + ":" + std::to_string(number) + ": the font ends with no glyph for " + which).c_str());
}

} // namespace

bool FrameLookAt(OvFrame* frame, const OvV3d& position, const OvV3d& target) {
    const OvV3d d = {target.x - position.x, target.y - position.y, target.z - position.z};
    if (frame == nullptr || (d.x == 0.0f && d.y == 0.0f && d.z == 0.0f)) {
        return false;
    }
    const OvV3d at = Normalised(d);
    OvV3d right = Cross({0.0f, 1.0f, 0.0f}, at);
    // Looking straight up or down, any level axis will do.
    right = right.x * right.x + right.z * right.z < 1e-12f ? OvV3d{1.0f, 0.0f, 0.0f} : Normalised(right);
    OvMatrix* m = OvFrameGetMatrix(frame);
    m->right = right;
    m->up = Cross(at, right);
    m->at = at;
    m->pos = position;
    OvMatrixUpdate(m);
    OvFrameMarkDirty(frame);
    return true;
}

CLight::CLight() = default;

CLight::CLight(const LightDescription& d) {
    const OvV3d position = {d.px, d.py, d.pz};
    const OvV3d target = {d.tx, d.ty, d.tz};
    const int type = d.type == 1 ? 1 : 0;
    if (Create(type, type == 1 ? &position : nullptr, type == 1 ? &target : nullptr)) {
        float colour[4] = {d.r, d.g, d.b, d.a};
        SetColor(colour);
        color_[3] = d.a; // the description's fourth word is kept as given
    }
}

CLight::~CLight() { Destroy(); }

void CLight::CreateGraphicsLight(int type) {
    Destroy();
    type_ = type;
    light_ = OvLightCreate(type == 1 ? ovLIGHTDIRECTIONAL : ovLIGHTAMBIENT);
    if (light_ != nullptr && type == 1) {
        frame_ = OvFrameCreate();
        if (frame_ == nullptr) {
            OvLightDestroy(light_);
            light_ = nullptr;
        }
    }
}

void CLight::PlaceFrame() {
    if (frame_ == nullptr || light_ == nullptr) {
        return;
    }
    FrameLookAt(frame_, position_, target_);
    OvLightSetFrame(light_, frame_);
}

bool CLight::Create(int type, const OvV3d* position, const OvV3d* target) {
    if (type != 0 && type != 1) {
        return false;
    }
    CreateGraphicsLight(type);
    if (type == 1) {
        if (position != nullptr) {
            position_ = *position;
        }
        if (target != nullptr) {
            target_ = *target;
        }
        PlaceFrame();
    }
    return light_ != nullptr;
}

bool CLight::SetColor(float rgba[4]) {
    if (light_ == nullptr) {
        return false;
    }
    color_[0] = rgba[0];
    color_[1] = rgba[1];
    color_[2] = rgba[2];
    color_[3] = rgba[3];
    rgba[3] = 1.0f;
    const OvRGBAReal colour = {rgba[0], rgba[1], rgba[2], 1.0f};
    OvLightSetColor(light_, &colour);
    return true;
}

bool CLight::Destroy() {
    // The world manager's record and the copies it made of the light for its other worlds (on the
    // light's frame) go first.
    if (g_worldManager != nullptr) {
        g_worldManager->RemoveLight(this);
    }
    if (light_ != nullptr) {
        OvLightDestroy(light_);
        light_ = nullptr;
    }
    if (frame_ != nullptr) {
        OvFrameDestroy(frame_);
        frame_ = nullptr;
    }
    return true;
}

bool CLight::StartElement(const char* name, const char** attributes) {
    if (Is(name, "Light")) {
        const char* type = ReadTextAttribute("type", attributes, 0);
        if (type == nullptr) {
            ErrorBox(MissingAttributeMessage("type", "Light").c_str());
            return false;
        }
        if (Is(type, "Ambient")) {
            isAmbient_ = true;
            CreateGraphicsLight(0);
        } else if (Is(type, "Directional")) {
            isDirectional_ = true;
            CreateGraphicsLight(1);
        } else {
            // No light is made, and the section's colour and points go with it.
            ConfigWarning("a 'Light' of type '" + std::string(type) +
                          "', neither 'Ambient' nor 'Directional', makes no light; its section is left out");
            return false;
        }
        return true;
    }
    if (!isAmbient_ && !isDirectional_) {
        return true;
    }
    if (Is(name, "Color")) {
        float rgba[4] = {color_[0], color_[1], color_[2], color_[3]};
        if (!ReadFloatAttribute("r", attributes, 0, &rgba[0]) || !ReadFloatAttribute("g", attributes, 1, &rgba[1]) ||
            !ReadFloatAttribute("b", attributes, 2, &rgba[2])) {
            ConfigWarning(
                "a light's 'Color' without its r, g and b in that order is left out; the light keeps its own");
            return false;
        }
        // A channel outside 0 to 1 (below 0 a light would take light away) keeps the light's own, said.
        SetColor(rgba);
        return true;
    }
    if (!isDirectional_) {
        return true;
    }
    if (Is(name, "Position")) {
        return ReadPoint(attributes, &position_);
    }
    if (Is(name, "Target")) {
        if (!ReadPoint(attributes, &target_)) {
            return false;
        }
        PlaceFrame();
        return true;
    }
    return true;
}

CFont::~CFont() {
    Release();
    if (g_font == this) {
        g_font = nullptr;
    }
}

bool CFont::Load(OvCamera* camera) {
    Release();
    if (camera == nullptr || !Ov2dOpen(camera)) {
        ErrorBox(kFontMissingMessage);
        return false;
    }
    toolkitOpen_ = true;
    char folder[16];
    std::snprintf(folder, sizeof folder, "FONTS%c", SkelPathSeparator());
    char* path = SkelPathCreate(folder);
    if (path != nullptr) {
        Ov2dFontSetPath(path);
        SkelPathDestroy(path);
    }
    font_ = Ov2dFontRead(kFontName);
    if (font_ == nullptr) {
        // The metrics file, or the image it names, with what is wrong in it.
        const char* why = Ov2dFontGetReadError();
        const std::string metrics = std::string("FONTS/") + kFontName + ".met";
        std::string cause =
            why != nullptr && why[0] != '\0' && DataFileExists(metrics) ? WithFontFolder(why) : FileReadFault(metrics);
        // An image of the font that does not read: which file it is.
        static const std::string kTexture = "cannot read the texture ";
        if (const std::size_t at = cause.find(kTexture); at != std::string::npos) {
            const std::string name = "FONTS/" + cause.substr(at + kTexture.size());
            bool there = false;
            for (const char* extension : {".png", ".bmp"}) {
                if (!there && DataFileExists(name + extension)) {
                    cause += "\n" + FileReadFault(name + extension);
                    there = true;
                }
            }
            if (!there) {
                cause += "\nNeither '" + name + ".png' nor '" + name + ".bmp' is there.";
            }
        }
        FileErrorBox(metrics, std::string(kFontMissingMessage) + "\n" + cause);
        return false;
    }
    WarnOfMissingCharacters(std::string("FONTS/") + kFontName + ".met", font_);
    brush_ = Ov2dBrushCreate();
    SetColour(colour_);
    // Glyphs are drawn at about their own size: linear filtering keeps them smooth when not.
    for (OvTexture* page : font_->pages) {
        if (page != nullptr) {
            page->filterAddressing = (page->filterAddressing & ~ovTEXTUREFILTERMODEMASK) | ovFILTERLINEAR;
        }
    }
    Ov2dDeviceSetFlatness(1.0f);
    Ov2dDeviceSetLayerDepth(camera->nearPlane * 1.1f);
    return true;
}

Ov2dFont* CFont::Print(const char* text, const OvV2d& position, float size) {
    if (font_ == nullptr || brush_ == nullptr || text == nullptr) {
        return nullptr;
    }
    // The toolkit's units are the view's smaller side (its height on a wide window), so that its
    // wider side spans more than 1: the screen fractions are scaled to them along each side.
    OvV2d extent = {1.0f, 1.0f};
    Ov2dDeviceGetAspect(&extent);
    const OvV2d anchor = {position.x * extent.x, position.y * extent.y};
    if ((font_->flags & ov2dFONTFLAG16BIT) == 0) {
        return Ov2dFontShow(font_, text, size, &anchor, brush_);
    }
    // A font with characters beyond 127 reads 16-bit strings: each byte of the text is one.
    std::string wide;
    for (const char* p = text; *p != '\0'; ++p) {
        wide += *p;
        wide += '\0';
    }
    wide.append(2, '\0');
    return Ov2dFontShow(font_, wide.c_str(), size, &anchor, brush_);
}

void CFont::SetColour(const OvRGBA& colour) {
    colour_ = colour;
    if (brush_ != nullptr) {
        Ov2dBrushSetColors(brush_, &colour_, &colour_, &colour_, &colour_);
    }
}

bool CFont::Release() {
    if (font_ != nullptr) {
        Ov2dFontDestroy(font_);
        font_ = nullptr;
    }
    if (brush_ != nullptr) {
        Ov2dBrushDestroy(brush_);
        brush_ = nullptr;
    }
    if (toolkitOpen_) {
        Ov2dClose();
        toolkitOpen_ = false;
    }
    return true;
}
