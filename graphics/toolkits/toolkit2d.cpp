#include "graphics/toolkits/toolkit2d.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/frame.h"
#include "graphics/toolkits/toolkit2d_internal.h"

namespace toolkit2d {

namespace {
State gState;
} // namespace

State& Get() { return gState; }

void SetRenderState(OvInt32 state, void* value) {
    if (OvEngineInstancePtr->dOpenDevice.setRenderState != nullptr) {
        OvEngineInstancePtr->dOpenDevice.setRenderState(state, value);
    }
}

void SetTexture(const OvTexture* texture, bool addressing) {
    if (texture == nullptr || texture->raster == nullptr) {
        SetRenderState(kStateTextureRaster, nullptr);
        return;
    }
    SetRenderState(kStateTextureRaster, texture->raster);
    SetRenderState(kStateTextureFilter,
                   reinterpret_cast<void*>(static_cast<std::uintptr_t>(OvTextureGetFilterMode(texture))));
    if (addressing && OvTextureGetAddressingU(texture) == OvTextureGetAddressingV(texture)) {
        SetRenderState(kStateTextureAddress,
                       reinterpret_cast<void*>(static_cast<std::uintptr_t>(OvTextureGetAddressingU(texture))));
    }
}

OvUInt32 Pack(const float* rgba) {
    OvUInt32 c[4];
    for (int i = 0; i < 4; ++i) {
        const float v = rgba[i] < 0.0f ? 0.0f : rgba[i] > 255.0f ? 255.0f : rgba[i];
        c[i] = static_cast<OvUInt32>(v + 0.5f);
    }
    return c[3] << 24 | c[0] << 16 | c[1] << 8 | c[2];
}

OvUInt32 Blend(const float* base, const float* delta, float t) {
    const float c[4] = {base[0] + delta[0] * t, base[1] + delta[1] * t, base[2] + delta[2] * t, base[3] + delta[3] * t};
    return Pack(c);
}

} // namespace toolkit2d

using namespace toolkit2d;

namespace {

Ov2dFont* ReadMetricsHook(const char* name) { return Ov2dFontReadMetrics(name); }

void Invalidate() {
    gState.deviceValid = false;
    gState.pixelValid = false;
}

// Raster size and view window of the device camera, read again whenever its frame syncs (a
// resize changes both).
void ReadCamera(OvCamera* camera) {
    State& s = gState;
    s.rasterWidth = camera->frameBuffer->width;
    s.rasterHeight = camera->frameBuffer->height;
    s.view = {2.0f * camera->viewWindow.x, 2.0f * camera->viewWindow.y};
    if (s.view.x <= s.view.y) {
        s.aspect = {1.0f, s.view.x > 0.0f ? s.view.y / s.view.x : 1.0f};
    } else {
        s.aspect = {s.view.y > 0.0f ? s.view.x / s.view.y : 1.0f, 1.0f};
    }
    Invalidate();
}

OvObjectHasFrame* CameraSyncHook(OvObjectHasFrame* object) {
    State& s = gState;
    OvObjectHasFrame* result = s.replacedSync != nullptr ? s.replacedSync(object) : object;
    auto* camera = reinterpret_cast<OvCamera*>(object);
    if (camera == s.camera && camera->frameBuffer != nullptr) {
        ReadCamera(camera);
    }
    return result;
}

// Gives the device camera its own callback back.
void ReleaseCamera() {
    State& s = gState;
    if (s.camera != nullptr && s.camera->object.sync == CameraSyncHook) {
        s.camera->object.sync = s.replacedSync;
    }
    s.camera = nullptr;
    s.replacedSync = nullptr;
}

OvMatrix* Ctm() { return gState.ctm[gState.ctmTop]; }

void FreeState() {
    State& s = gState;
    ReleaseCamera();
    for (OvMatrix*& m : s.ctm) {
        if (m != nullptr) {
            OvMatrixDestroy(m);
            m = nullptr;
        }
    }
    if (s.temp != nullptr) {
        Ov2dPathDestroy(s.temp);
    }
    if (s.texDict != nullptr) {
        if (OvTexDictionaryGetCurrent() == s.texDict) {
            OvTexDictionarySetCurrent(nullptr);
        }
        OvTexDictionaryDestroy(s.texDict);
    }
    for (OvFreeList* list : {s.pathList, s.brushList, s.fontList, s.recordLists[0], s.recordLists[1], s.recordLists[2],
                             s.recordLists[3]}) {
        if (list != nullptr) {
            OvFreeListDestroy(list);
        }
    }
    OvFree(s.vertices);
    OvFree(s.fontPath);
    s = State{};
}

} // namespace

OvBool Ov2dOpen(OvCamera* camera) {
    State& s = gState;
    if (s.open) {
        Ov2dClose();
    }
    s = State{};
    s.open = true;
    s.pathList = OvFreeListCreate(sizeof(Ov2dPath), 32, 0, kHintPath);
    s.brushList = OvFreeListCreate(sizeof(Ov2dBrush), 16, 16, kHintBrush);
    s.fontList = OvFreeListCreate(sizeof(Ov2dFont), 4, 0, kHintFont);
    bool recordLists = true;
    for (int i = 0; i < 4; ++i) {
        s.recordLists[i] = OvFreeListCreate(kRecordListSizes[i], 16, kRecordListAlignments[i], kHintModule);
        recordLists = recordLists && s.recordLists[i] != nullptr;
    }
    s.vertices = static_cast<OvIm3DVertex*>(OvMalloc(sizeof(OvIm3DVertex) * ov2dVERTEXBUFFERSIZE, kHintModule));
    s.texDict = OvTexDictionaryCreate();
    s.ctm[0] = OvMatrixCreate();
    if (s.pathList == nullptr || s.brushList == nullptr || s.fontList == nullptr || !recordLists ||
        s.vertices == nullptr || s.texDict == nullptr || s.ctm[0] == nullptr || Ov2dFontSetPath("fonts\\") == nullptr) {
        FreeState();
        OvErrorReport(ovPLUGINID2D, OvErrorCode(ovERRNOMEMORY, "2D toolkit state"));
        return FALSE;
    }
    s.temp = Ov2dPathCreate();
    if (s.temp == nullptr) {
        FreeState();
        return FALSE;
    }
    for (OvInt32 i = 0; i < ov2dVERTEXBUFFERSIZE; ++i) {
        s.strip[i] = static_cast<OvUInt16>(i);
    }
    static constexpr OvUInt16 kQuadOrder[6] = {0, 2, 3, 0, 3, 1};
    for (OvInt32 q = 0; q < kQuads; ++q) {
        for (OvInt32 k = 0; k < 6; ++k) {
            s.quads[q * 6 + k] = static_cast<OvUInt16>(4 * q + kQuadOrder[k]);
        }
    }
    OvMatrixSetIdentity(&s.base);
    s.readHook = ReadMetricsHook;
    if (camera != nullptr && !Ov2dDeviceSetCamera(camera)) {
        FreeState();
        return FALSE;
    }
    return TRUE;
}

OvBool Ov2dClose() {
    if (!gState.open) {
        return FALSE;
    }
    FreeState();
    return TRUE;
}

OvBool Ov2dDeviceSetCamera(OvCamera* camera) {
    State& s = gState;
    if (camera == nullptr) {
        ReleaseCamera();
        return FALSE;
    }
    if (camera->frameBuffer == nullptr) {
        return FALSE;
    }
    if (camera != s.camera) {
        ReleaseCamera();
        s.camera = camera;
        s.replacedSync = camera->object.sync;
        camera->object.sync = CameraSyncHook;
    }
    ReadCamera(camera);
    return TRUE;
}

OvCamera* Ov2dDeviceGetCamera() { return gState.camera; }

OvBool Ov2dDeviceSetFlatness(float flatness) {
    if (!(flatness > 0.0f)) {
        return FALSE;
    }
    gState.flatness = flatness;
    gState.pixelValid = false;
    return TRUE;
}

OvBool Ov2dDeviceSetLayerDepth(float depth) {
    if (!(depth > 0.0f)) {
        return FALSE;
    }
    gState.layerDepth = depth;
    Invalidate();
    return TRUE;
}

OvBool Ov2dDeviceGetAspect(OvV2d* extent) {
    *extent = gState.aspect;
    return gState.camera != nullptr ? TRUE : FALSE;
}

const OvMatrix* Ov2dDeviceGetMatrix() {
    State& s = gState;
    if (!s.deviceValid) {
        const bool parallel = s.camera != nullptr && s.camera->projectionType == ovPARALLEL;
        const float depth = parallel ? 1.0f : s.layerDepth;
        const float side = s.view.x < s.view.y ? s.view.x : s.view.y;
        OvMatrixMultiply(&s.device, Ctm(), &s.base);
        const OvV3d toDepth = {depth, depth, 1.0f};
        OvMatrixScale(&s.device, &toDepth, ovCOMBINEPOSTCONCAT);
        const OvV3d toView = {-side, side, 1.0f};
        OvMatrixScale(&s.device, &toView, ovCOMBINEPOSTCONCAT);
        const OvV3d toCorner = {s.view.x * depth * 0.5f, -s.view.y * depth * 0.5f, 0.0f};
        OvMatrixTranslate(&s.device, &toCorner, ovCOMBINEPOSTCONCAT);
        OvMatrixInvert(&s.inverse, &s.device);
        s.deviceValid = true;
    }
    return &s.device;
}

float Ov2dDeviceGetPixelSizeSquared() {
    State& s = gState;
    if (!s.pixelValid || !s.deviceValid) {
        Ov2dDeviceGetMatrix();
        const bool parallel = s.camera != nullptr && s.camera->projectionType == ovPARALLEL;
        const float depth = parallel ? 1.0f : s.layerDepth;
        const float width = s.rasterWidth > 0 ? static_cast<float>(s.rasterWidth) : 1.0f;
        const OvV3d step = {s.view.x / width * s.flatness * depth, 0.0f, 0.0f};
        OvV3d local;
        OvV3dTransformVector(&local, &step, &s.inverse);
        s.pixelSquared = local.x * local.x + local.y * local.y + local.z * local.z;
        s.pixelValid = true;
    }
    return s.pixelSquared;
}

void toolkit2d::DrawMatrix(OvMatrix* out) {
    const OvMatrix* device = Ov2dDeviceGetMatrix();
    OvFrame* frame = gState.camera != nullptr ? OvCameraGetFrame(gState.camera) : nullptr;
    if (frame == nullptr) {
        *out = *device;
        return;
    }
    OvMatrixMultiply(out, device, OvFrameGetWorldMatrix(frame));
}

// CTM.

OvBool Ov2dCTMPush() {
    State& s = gState;
    if (s.ctmTop >= ov2dCTMSTACKSIZE - 1) {
        return FALSE;
    }
    if (s.ctm[s.ctmTop + 1] == nullptr) {
        s.ctm[s.ctmTop + 1] = OvMatrixCreate();
        if (s.ctm[s.ctmTop + 1] == nullptr) {
            return FALSE;
        }
    }
    *s.ctm[s.ctmTop + 1] = *s.ctm[s.ctmTop];
    ++s.ctmTop;
    return TRUE;
}

OvBool Ov2dCTMPop() {
    State& s = gState;
    if (s.ctmTop <= 0) {
        return FALSE;
    }
    --s.ctmTop;
    Invalidate();
    return TRUE;
}

OvBool Ov2dCTMSetIdentity() {
    OvMatrixSetIdentity(Ctm());
    Invalidate();
    return TRUE;
}

OvBool Ov2dCTMTranslate(float x, float y) {
    const OvV3d v = {x, y, 0.0f};
    OvMatrixTranslate(Ctm(), &v, ovCOMBINEPRECONCAT);
    Invalidate();
    return TRUE;
}

OvBool Ov2dCTMScale(float x, float y) {
    const OvV3d v = {x, y, 1.0f};
    OvMatrixScale(Ctm(), &v, ovCOMBINEPRECONCAT);
    Invalidate();
    return TRUE;
}

const OvMatrix* Ov2dCTMGet() { return Ctm(); }

// Brushes.

Ov2dBrush* Ov2dBrushCreate() {
    auto* b = static_cast<Ov2dBrush*>(OvFreeListEntryAlloc(gState.brushList, kHintBrush));
    if (b == nullptr) {
        OvErrorReport(ovPLUGINID2D, OvErrorCode(ovERRNOMEMORY, sizeof(Ov2dBrush)));
        return nullptr;
    }
    *b = {};
    const OvRGBA white = {255, 255, 255, 255};
    Ov2dBrushSetColors(b, &white, &white, &white, &white);
    const OvV2d uv[4] = {{0.0f, 1.0f}, {1.0f, 1.0f}, {1.0f, 0.0f}, {0.0f, 0.0f}};
    Ov2dBrushSetUVs(b, &uv[0], &uv[1], &uv[2], &uv[3]);
    b->halfWidth = 0.5f;
    b->refCount = 1;
    return b;
}

OvBool Ov2dBrushDestroy(Ov2dBrush* brush) {
    if (brush == nullptr || --brush->refCount > 0) {
        return FALSE;
    }
    if (brush->texture != nullptr) {
        OvTextureDestroy(brush->texture);
    }
    OvFreeListEntryFree(gState.brushList, brush);
    return TRUE;
}

Ov2dBrush* Ov2dBrushSetColors(Ov2dBrush* brush, const OvRGBA* c1, const OvRGBA* c2, const OvRGBA* c3,
                              const OvRGBA* c4) {
    auto toFloats = [](const OvRGBA* c, float* out) {
        out[0] = c->red;
        out[1] = c->green;
        out[2] = c->blue;
        out[3] = c->alpha;
    };
    float f1[4], f2[4], f3[4], f4[4];
    toFloats(c1, f1);
    toFloats(c2, f2);
    toFloats(c3, f3);
    toFloats(c4, f4);
    for (int i = 0; i < 4; ++i) {
        brush->colourA[i] = f4[i];
        brush->colourADelta[i] = f3[i] - f4[i];
        brush->colourB[i] = f1[i];
        brush->colourBDelta[i] = f2[i] - f1[i];
    }
    brush->packed = Pack(f4);
    const bool same = std::memcmp(c1, c2, 4) == 0 && std::memcmp(c1, c3, 4) == 0 && std::memcmp(c1, c4, 4) == 0;
    brush->flags = same ? brush->flags & ~ov2dBRUSHCOLOURSVARY : brush->flags | ov2dBRUSHCOLOURSVARY;
    return brush;
}

Ov2dBrush* Ov2dBrushSetUVs(Ov2dBrush* brush, const OvV2d* uv1, const OvV2d* uv2, const OvV2d* uv3, const OvV2d* uv4) {
    brush->uvA[0] = uv4->x;
    brush->uvA[1] = uv4->y;
    brush->uvADelta[0] = uv3->x - uv4->x;
    brush->uvADelta[1] = uv3->y - uv4->y;
    brush->uvB[0] = uv1->x;
    brush->uvB[1] = uv1->y;
    brush->uvBDelta[0] = uv2->x - uv1->x;
    brush->uvBDelta[1] = uv2->y - uv1->y;
    const bool fixed = uv3->x == uv4->x && uv3->y == uv4->y && uv2->x == uv1->x && uv2->y == uv1->y;
    brush->flags = fixed ? brush->flags & ~ov2dBRUSHUVSVARY : brush->flags | ov2dBRUSHUVSVARY;
    return brush;
}

Ov2dBrush* Ov2dBrushSetTexture(Ov2dBrush* brush, OvTexture* texture) {
    if (texture != nullptr) {
        ++texture->refCount;
    }
    if (brush->texture != nullptr) {
        OvTextureDestroy(brush->texture);
    }
    brush->texture = texture;
    return brush;
}

Ov2dBrush* Ov2dBrushSetWidth(Ov2dBrush* brush, float width) {
    if (!(width >= 0.0f)) {
        return nullptr;
    }
    brush->halfWidth = 0.5f * width;
    return brush;
}

// Paths.

namespace {

Ov2dPath* NewSubPath() {
    auto* p = static_cast<Ov2dPath*>(OvFreeListEntryAlloc(gState.pathList, kHintPath));
    if (p == nullptr) {
        OvErrorReport(ovPLUGINID2D, OvErrorCode(ovERRNOMEMORY, sizeof(Ov2dPath)));
        return nullptr;
    }
    *p = {};
    p->growable = OvArrayCreate(sizeof(Ov2dSegment), kHintPath);
    if (p->growable == nullptr) {
        OvFreeListEntryFree(gState.pathList, p);
        return nullptr;
    }
    p->numSegments = -1;
    p->flags = 1;
    p->current = p;
    return p;
}

Ov2dSegment* Segments(const Ov2dPath* p, OvInt32* count) {
    if (p->growable != nullptr) {
        *count = p->growable->numEntries;
        return static_cast<Ov2dSegment*>(p->growable->data);
    }
    *count = p->numSegments;
    return p->segments;
}

Ov2dSegment* Append(Ov2dPath* sub, const Ov2dSegment& segment) {
    auto* entry = static_cast<Ov2dSegment*>(OvArrayAddEntry(sub->growable, kHintPath));
    if (entry != nullptr) {
        *entry = segment;
    }
    return entry;
}

// (a + b) / (a . (a + b)): the normal whose offset keeps both neighbouring edges at unit
// distance. At a turn of nearly 180 degrees that offset has no finite length; the second normal
// is used instead.
void Mitre(float ax, float ay, float bx, float by, float* mx, float* my) {
    const float sx = ax + bx, sy = ay + by;
    const float d = ax * sx + ay * sy;
    if (d > 1e-3f) {
        *mx = sx / d;
        *my = sy / d;
    } else {
        *mx = bx;
        *my = by;
    }
}

// The sub-path being built and its segments; null once the path is compacted.
Ov2dPath* Editable(Ov2dPath* path, Ov2dSegment** segments, OvInt32* count) {
    Ov2dPath* sub = path->current;
    if (sub->growable == nullptr) {
        return nullptr;
    }
    *segments = Segments(sub, count);
    return sub;
}

} // namespace

Ov2dPath* Ov2dPathCreate() { return NewSubPath(); }

OvBool Ov2dPathDestroy(Ov2dPath* path) {
    if (path == nullptr) {
        return FALSE;
    }
    while (path != nullptr) {
        Ov2dPath* next = path->next;
        if (path->growable != nullptr) {
            OvArrayDestroy(path->growable);
        }
        OvFree(path->segments);
        OvFreeListEntryFree(gState.pathList, path);
        path = next;
    }
    return TRUE;
}

Ov2dPath* Ov2dPathMoveto(Ov2dPath* path, float x, float y) {
    OvInt32 n;
    Ov2dSegment* s;
    Ov2dPath* sub = Editable(path, &s, &n);
    if (sub == nullptr) {
        return nullptr;
    }
    if (n > 0) {
        Ov2dPath* fresh = NewSubPath();
        if (fresh == nullptr) {
            return nullptr;
        }
        sub->next = fresh;
        path->current = fresh;
        sub = fresh;
    }
    return Append(sub, {ov2dMOVETO, x, y, 0.0f, 0.0f, 0.0f}) != nullptr ? path : nullptr;
}

Ov2dPath* Ov2dPathLineto(Ov2dPath* path, float x, float y) {
    OvInt32 n;
    Ov2dSegment* s;
    Ov2dPath* sub = Editable(path, &s, &n);
    if (sub == nullptr) {
        return nullptr;
    }
    if (n == 0) {
        return Ov2dPathMoveto(path, x, y);
    }
    Ov2dSegment& last = s[n - 1];
    const float dx = x - last.x, dy = y - last.y;
    const float length = std::sqrt(dx * dx + dy * dy);
    if (!(length > 0.0f)) {
        return path; // no direction, no normal: nothing to draw
    }
    const float nx = dy / length, ny = -dx / length;
    if (n >= 2) {
        Mitre(last.nx, last.ny, nx, ny, &last.nx, &last.ny);
    } else {
        last.nx = nx;
        last.ny = ny;
    }
    const float total = last.length + length;
    return Append(sub, {ov2dLINETO, x, y, nx, ny, total}) != nullptr ? path : nullptr;
}

Ov2dPath* Ov2dPathCurveto(Ov2dPath* path, float x1, float y1, float x2, float y2, float x3, float y3) {
    OvInt32 n;
    Ov2dSegment* s;
    Ov2dPath* sub = Editable(path, &s, &n);
    if (sub == nullptr) {
        return nullptr;
    }
    if (n == 0) {
        return Ov2dPathMoveto(path, x3, y3);
    }
    const float length = s[n - 1].length;
    if (Append(sub, {ov2dCURVE, x1, y1, 0.0f, 0.0f, length}) == nullptr ||
        Append(sub, {ov2dCURVE, x2, y2, 0.0f, 0.0f, length}) == nullptr ||
        Append(sub, {ov2dCURVE, x3, y3, 0.0f, 0.0f, length}) == nullptr) {
        return nullptr;
    }
    return path;
}

Ov2dPath* Ov2dPathClosepath(Ov2dPath* path) {
    OvInt32 n;
    Ov2dSegment* s;
    Ov2dPath* sub = Editable(path, &s, &n);
    if (sub == nullptr) {
        return nullptr;
    }
    if (n == 0) {
        return path;
    }
    if (s[n - 1].x != s[0].x || s[n - 1].y != s[0].y) {
        if (Ov2dPathLineto(path, s[0].x, s[0].y) == nullptr) {
            return nullptr;
        }
        s = Segments(sub, &n);
    }
    if (n >= 3) {
        float mx, my;
        Mitre(s[n - 1].nx, s[n - 1].ny, s[0].nx, s[0].ny, &mx, &my);
        s[0].nx = s[n - 1].nx = mx;
        s[0].ny = s[n - 1].ny = my;
    }
    sub->closed = TRUE;
    return path;
}

Ov2dPath* Ov2dPathCompact(Ov2dPath* path) {
    for (Ov2dPath* sub = path; sub != nullptr; sub = sub->next) {
        if (sub->growable == nullptr) {
            continue;
        }
        const OvInt32 n = sub->growable->numEntries;
        sub->segments = static_cast<Ov2dSegment*>(OvArrayDestroyKeepData(sub->growable));
        sub->growable = nullptr;
        sub->numSegments = sub->segments != nullptr ? n : 0;
    }
    path->current = path;
    return path;
}

const Ov2dSegment* Ov2dPathGetSegments(const Ov2dPath* path, OvInt32* count) {
    const Ov2dSegment* s = Segments(path, count);
    return *count > 0 ? s : nullptr;
}

namespace {

struct Flattener {
    Ov2dPath* out;
    float pixelSquared;
    OvInt32 maxDepth;
    bool ok = true;

    // Squared distance of c from the chord a-b against the flatness, without dividing.
    bool Near(float ax, float ay, float bx, float by, float cx, float cy) const {
        const float dx = bx - ax, dy = by - ay;
        const float chord = dx * dx + dy * dy;
        const float ex = cx - ax, ey = cy - ay;
        if (chord == 0.0f) {
            return ex * ex + ey * ey <= pixelSquared;
        }
        const float cross = dx * ey - dy * ex;
        return cross * cross <= pixelSquared * chord;
    }

    void Curve(const float* p, OvInt32 depth) {
        if (!ok) {
            return;
        }
        if (depth >= maxDepth ||
            (Near(p[0], p[1], p[6], p[7], p[2], p[3]) && Near(p[0], p[1], p[6], p[7], p[4], p[5]))) {
            ok = Ov2dPathLineto(out, p[6], p[7]) != nullptr;
            return;
        }
        // de Casteljau at one half.
        float l[8], r[8];
        const float abx = 0.5f * (p[0] + p[2]), aby = 0.5f * (p[1] + p[3]);
        const float bcx = 0.5f * (p[2] + p[4]), bcy = 0.5f * (p[3] + p[5]);
        const float cdx = 0.5f * (p[4] + p[6]), cdy = 0.5f * (p[5] + p[7]);
        const float abcx = 0.5f * (abx + bcx), abcy = 0.5f * (aby + bcy);
        const float bcdx = 0.5f * (bcx + cdx), bcdy = 0.5f * (bcy + cdy);
        const float mx = 0.5f * (abcx + bcdx), my = 0.5f * (abcy + bcdy);
        const float left[8] = {p[0], p[1], abx, aby, abcx, abcy, mx, my};
        const float right[8] = {mx, my, bcdx, bcdy, cdx, cdy, p[6], p[7]};
        std::memcpy(l, left, sizeof l);
        std::memcpy(r, right, sizeof r);
        Curve(l, depth + 1);
        Curve(r, depth + 1);
    }
};

void Empty(Ov2dPath* path) {
    if (path->next != nullptr) {
        Ov2dPathDestroy(path->next);
        path->next = nullptr;
    }
    OvArrayEmpty(path->growable);
    path->closed = FALSE;
    path->current = path;
}

} // namespace

Ov2dPath* Ov2dPathFlatten(const Ov2dPath* path, Ov2dPath* out) {
    Empty(out);
    Flattener f = {out, Ov2dDeviceGetPixelSizeSquared(), gState.flattenDepth};
    OvInt32 n;
    const Ov2dSegment* s = Segments(path, &n);
    for (OvInt32 i = 0; i < n && f.ok; ++i) {
        if (s[i].type == ov2dCURVE && i + 2 < n && s[i + 1].type == ov2dCURVE && s[i + 2].type == ov2dCURVE && i > 0) {
            const float p[8] = {s[i - 1].x, s[i - 1].y, s[i].x, s[i].y, s[i + 1].x, s[i + 1].y, s[i + 2].x, s[i + 2].y};
            f.Curve(p, 0);
            i += 2;
        } else if (s[i].type == ov2dMOVETO || out->growable->numEntries == 0) {
            f.ok = Ov2dPathMoveto(out, s[i].x, s[i].y) != nullptr;
        } else {
            f.ok = Ov2dPathLineto(out, s[i].x, s[i].y) != nullptr; // a line, or a stray curve point
        }
    }
    if (f.ok && path->closed) {
        Ov2dPathClosepath(out);
    }
    return out;
}

namespace {

void FlushStrip(OvInt32 count, const OvMatrix* matrix, OvUInt32 flags) {
    State& s = gState;
    if (count >= 4 && OvIm3DTransform(s.vertices, static_cast<OvUInt32>(count), matrix, flags) != nullptr) {
        OvIm3DRenderIndexedPrimitive(ovPRIMTYPETRISTRIP, s.strip, count);
        OvIm3DEnd();
    }
}

} // namespace

Ov2dPath* Ov2dPathStroke(Ov2dPath* path, Ov2dBrush* brush) {
    State& s = gState;
    if (path == nullptr || brush == nullptr) {
        return nullptr;
    }
    OvMatrix matrix;
    DrawMatrix(&matrix);
    const OvUInt32 flags = brush->texture != nullptr ? static_cast<OvUInt32>(ovIM3D_VERTEXUV) : 0u;
    const bool colours = (brush->flags & ov2dBRUSHCOLOURSVARY) != 0;
    const bool uvs = (brush->flags & ov2dBRUSHUVSVARY) != 0;
    const float depth = s.layerDepth;
    for (Ov2dPath* sub = path; sub != nullptr; sub = sub->next) {
        Ov2dPathFlatten(sub, s.temp);
        OvInt32 n;
        const Ov2dSegment* seg = Segments(s.temp, &n);
        if (n < 2) {
            continue;
        }
        SetTexture(brush->texture, true);
        const float total = seg[n - 1].length;
        const float out = path->strokeOffset + brush->halfWidth, in = brush->halfWidth - path->strokeOffset;
        OvInt32 count = 0;
        for (OvInt32 i = 0; i < n; ++i) {
            const Ov2dSegment& p = seg[i];
            const float t = total > 0.0f ? p.length / total : 0.0f;
            OvIm3DVertex& a = s.vertices[count];
            OvIm3DVertex& b = s.vertices[count + 1];
            a = {{p.x - p.nx * out, p.y - p.ny * out, depth}, {0.0f, 0.0f, -1.0f}, 0, 0.0f, 0.0f};
            b = {{p.x + p.nx * in, p.y + p.ny * in, depth}, {0.0f, 0.0f, -1.0f}, 0, 0.0f, 0.0f};
            a.color = colours ? Blend(brush->colourA, brush->colourADelta, t) : brush->packed;
            b.color = colours ? Blend(brush->colourB, brush->colourBDelta, t) : brush->packed;
            const float ut = uvs ? t : 0.0f;
            a.u = brush->uvA[0] + brush->uvADelta[0] * ut;
            a.v = brush->uvA[1] + brush->uvADelta[1] * ut;
            b.u = brush->uvB[0] + brush->uvBDelta[0] * ut;
            b.v = brush->uvB[1] + brush->uvBDelta[1] * ut;
            count += 2;
            if (count >= ov2dSTRIPFLUSH && i + 1 < n) {
                FlushStrip(count, &matrix, flags);
                s.vertices[0] = s.vertices[count - 2];
                s.vertices[1] = s.vertices[count - 1];
                count = 2;
            }
        }
        FlushStrip(count, &matrix, flags);
    }
    return path;
}
