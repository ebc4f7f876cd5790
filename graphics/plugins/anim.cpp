#include "graphics/plugins/anim.h"

#include <cmath>
#include <cstring>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/matrix.h"
#include "graphics/core/stream.h"

namespace {

constexpr OvUInt32 kHintAnimation = 0x3001B; // animations and interpolators live as long as their owner
constexpr OvUInt32 kHintList = 0x4001B;      // the plugin's free list lives from open to close
constexpr OvInt32 kHeaderBytes = 20;         // version, scheme, key count, flags, duration
constexpr OvUInt32 kStdKeyFileBytes = 36;    // time, quaternion, translation, previous-key offset
// More wraps than this in one advance are reduced by a remainder instead of one by one.
constexpr int kMaxWrapSteps = 64;

struct PluginState {
    OvAnimScheme schemes[ovANIMMAXSCHEMES] = {};
    OvInt32 numSchemes = 0;
    OvFreeList* freeList = nullptr; // 24-byte records kept for plugins that ask for them
};

PluginState gAnim;

void* AnimOpen(void* instance, OvInt32, OvInt32) {
    gAnim.freeList = OvFreeListCreateWithSpace(24, 128, 0, 1, nullptr, kHintList);
    return gAnim.freeList != nullptr ? instance : nullptr;
}

void* AnimClose(void* instance, OvInt32, OvInt32) {
    if (gAnim.freeList != nullptr) {
        OvFreeListDestroy(gAnim.freeList);
        gAnim.freeList = nullptr;
    }
    gAnim.numSchemes = 0;
    return instance;
}

OvAnimScheme* FindScheme(OvUInt32 id) {
    for (OvInt32 i = 0; i < gAnim.numSchemes; ++i) {
        if (gAnim.schemes[i].schemeID == id) {
            return &gAnim.schemes[i];
        }
    }
    return nullptr;
}

std::size_t AnimationBytes(const OvAnimScheme* scheme, OvInt32 numFrames) {
    return sizeof(OvAnimation) +
           static_cast<std::size_t>(numFrames) * static_cast<std::size_t>(scheme->animKeyFrameSize) +
           static_cast<std::size_t>(scheme->customDataSize);
}

// Allocates an animation of numFrames keys of the scheme and fills its header.
OvAnimation* AllocAnimation(OvAnimScheme* scheme, OvInt32 numFrames, OvUInt32 flags, float duration) {
    auto* animation = static_cast<OvAnimation*>(OvCalloc(1, AnimationBytes(scheme, numFrames), kHintAnimation));
    if (animation == nullptr) {
        OvErrorReport(0, ovERRNOMEMORY);
        return nullptr;
    }
    animation->interpInfo = scheme;
    animation->numFrames = numFrames;
    animation->flags = flags;
    animation->duration = duration;
    animation->pFrames = animation + 1;
    animation->customData = scheme->customDataSize > 0 ? static_cast<OvUInt8*>(animation->pFrames) +
                                                             static_cast<std::size_t>(numFrames) *
                                                                 static_cast<std::size_t>(scheme->animKeyFrameSize)
                                                       : nullptr;
    return animation;
}

// Durations that can be played: positive and finite.
bool DurationPlayable(float duration) { return duration > 0.0f && std::isfinite(duration); }

OvAnimKeyHeader* KeyHeader(const OvAnimation* animation, OvUInt32 index) {
    return static_cast<OvAnimKeyHeader*>(OvAnimationGetKey(animation, index));
}

OvAnimInterpKeyHeader* SlotHeader(const OvAnimInterpolator* interpolator, OvInt32 node) {
    return static_cast<OvAnimInterpKeyHeader*>(OvAnimInterpolatorGetNodeKey(interpolator, node));
}

void InterpolateNode(OvAnimInterpolator* interpolator, OvInt32 node) {
    const OvAnimation* animation = interpolator->pCurrentAnim;
    OvAnimInterpKeyHeader* slot = SlotHeader(interpolator, node);
    const OvUInt32 k1 = slot->keyFrame1;
    const OvUInt32 k2 = slot->keyFrame2;
    interpolator->keyFrameInterpolateCB(slot, OvAnimationGetKey(animation, k1), OvAnimationGetKey(animation, k2),
                                        interpolator->currentTime, animation->customData);
    slot->keyFrame1 = k1;
    slot->keyFrame2 = k2;
}

// Slerp of q1 towards q2 by t along the short arc; q2 is negated in place when the arc through it
// is the long one. The result is not renormalised.
void Slerp(OvQuat* out, const OvQuat* q1, OvQuat* q2, float t) {
    float c = q1->x * q2->x + q1->y * q2->y + q1->z * q2->z + q1->w * q2->w;
    if (c < 0.0f) {
        c = -c;
        q2->x = -q2->x;
        q2->y = -q2->y;
        q2->z = -q2->z;
        q2->w = -q2->w;
    }
    float w1, w2;
    if (c < 0.999f) {
        const float theta = std::acos(c);
        const float s = std::sin(theta);
        w1 = std::sin((1.0f - t) * theta) / s;
        w2 = std::sin(t * theta) / s;
    } else {
        w1 = 1.0f - t;
        w2 = t;
    }
    out->x = w1 * q1->x + w2 * q2->x;
    out->y = w1 * q1->y + w2 * q2->y;
    out->z = w1 * q1->z + w2 * q2->z;
    out->w = w1 * q1->w + w2 * q2->w;
}

// The quaternion and translation part shared by interpolate and blend.
void StdMix(OvAnimInterpFrame* out, const OvQuat* q1, const OvV3d* t1, OvQuat* q2, const OvV3d* t2, float t) {
    OvQuat q;
    Slerp(&q, q1, q2, t);
    const OvV3d a = *t1;
    const OvV3d b = *t2;
    out->q = q;
    out->t.x = a.x + (b.x - a.x) * t;
    out->t.y = a.y + (b.y - a.y) * t;
    out->t.z = a.z + (b.z - a.z) * t;
}

} // namespace

OvBool OvAnimPluginAttach() { return OvEngineRegisterPlugin(0, ovPLUGINIDANIM, AnimOpen, AnimClose) >= 0; }

OvBool OvAnimRegisterScheme(const OvAnimScheme* scheme) {
    // A full table answers before the search for the id, so a full table reports "full" whatever
    // id is offered.
    if (gAnim.numSchemes >= ovANIMMAXSCHEMES) {
        OvErrorReport(static_cast<OvInt32>(ovPLUGINIDANIM), ovERRANIMTOOMANYSCHEMES);
        return 0;
    }
    if (FindScheme(scheme->schemeID) != nullptr) {
        OvErrorReport(static_cast<OvInt32>(ovPLUGINIDANIM), ovERRANIMDUPLICATESCHEME);
        return 0;
    }
    gAnim.schemes[gAnim.numSchemes++] = *scheme;
    return 1;
}

OvAnimScheme* OvAnimGetScheme(OvUInt32 schemeID) {
    OvAnimScheme* scheme = FindScheme(schemeID);
    if (scheme == nullptr) {
        OvErrorReport(static_cast<OvInt32>(ovPLUGINIDANIM), ovERRANIMUNKNOWNSCHEME);
    }
    return scheme;
}

OvAnimation* OvAnimationCreate(OvUInt32 schemeID, OvInt32 numFrames, OvUInt32 flags, float duration) {
    OvAnimScheme* scheme = OvAnimGetScheme(schemeID);
    if (scheme == nullptr) {
        return nullptr;
    }
    if (numFrames < 0 || !DurationPlayable(duration) || numFrames > 0x7FFFFFFF / scheme->animKeyFrameSize) {
        OvErrorReport(0, ovERRINVALIDVALUE);
        return nullptr;
    }
    return AllocAnimation(scheme, numFrames, flags, duration);
}

OvBool OvAnimationDestroy(OvAnimation* animation) {
    OvFree(animation);
    return 1;
}

OvAnimation* OvAnimationStreamRead(OvStream* stream, OvUInt32 chunkLength) {
    // The version word and the scheme come first: the scheme is looked up before the rest of the
    // header is read.
    OvUInt8 header[kHeaderBytes];
    if (chunkLength < 8 || OvStreamReadStrict(stream, header, 8) == nullptr) {
        return nullptr;
    }
    if (OvChunkGetUInt32(header) != ovANIMSTREAMVERSION) {
        return nullptr;
    }
    OvAnimScheme* scheme = OvAnimGetScheme(OvChunkGetUInt32(header + 4));
    if (scheme == nullptr || chunkLength < kHeaderBytes ||
        OvStreamReadStrict(stream, header + 8, kHeaderBytes - 8) == nullptr) {
        return nullptr;
    }
    const auto numFrames = static_cast<OvInt32>(OvChunkGetUInt32(header + 8));
    const OvUInt32 flags = OvChunkGetUInt32(header + 12);
    const float duration = OvChunkGetReal(header + 16);
    if (numFrames < 0 || !DurationPlayable(duration) || numFrames > 0x7FFFFFFF / scheme->animKeyFrameSize) {
        OvErrorReport(static_cast<OvInt32>(ovPLUGINIDANIM), ovERRANIMBADDATA);
        return nullptr;
    }
    // The keys must fit the chunk (and what the stream holds) before anything is allocated for them.
    OvAnimation probe = {scheme, numFrames, flags, duration, nullptr, nullptr};
    const OvInt32 keyBytes = scheme->keyFrameStreamGetSizeCB(&probe);
    const OvUInt32 left = OvStreamGetBytesLeft(stream);
    if (keyBytes < 0 || static_cast<OvUInt32>(keyBytes) > chunkLength - kHeaderBytes ||
        static_cast<OvUInt32>(keyBytes) > left) {
        OvErrorReport(0, ovERRREAD);
        return nullptr;
    }
    OvAnimation* animation = AllocAnimation(scheme, numFrames, flags, duration);
    if (animation == nullptr) {
        return nullptr;
    }
    if (scheme->keyFrameStreamReadCB(stream, animation) == nullptr) {
        OvFree(animation);
        return nullptr;
    }
    return animation;
}

OvUInt32 OvAnimationStreamGetSize(const OvAnimation* animation) {
    return kHeaderBytes + static_cast<OvUInt32>(animation->interpInfo->keyFrameStreamGetSizeCB(animation));
}

const OvAnimation* OvAnimationStreamWrite(const OvAnimation* animation, OvStream* stream) {
    OvUInt8 header[kHeaderBytes];
    OvChunkPutUInt32(header, ovANIMSTREAMVERSION);
    OvChunkPutUInt32(header + 4, animation->interpInfo->schemeID);
    OvChunkPutUInt32(header + 8, static_cast<OvUInt32>(animation->numFrames));
    OvChunkPutUInt32(header + 12, animation->flags);
    OvUInt32 bits;
    std::memcpy(&bits, &animation->duration, 4);
    OvChunkPutUInt32(header + 16, bits);
    if (OvStreamWriteChunkHeader(stream, ovID_ANIMANIMATION, OvAnimationStreamGetSize(animation), ovLIBRARYVERSION,
                                 ovLIBRARYBUILD) == nullptr ||
        OvStreamWrite(stream, header, kHeaderBytes) == nullptr ||
        !animation->interpInfo->keyFrameStreamWriteCB(animation, stream)) {
        return nullptr;
    }
    return animation;
}

OvAnimation* OvAnimationLoad(const char* fileName) {
    OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, fileName);
    if (stream == nullptr) {
        return nullptr;
    }
    OvAnimation* animation = nullptr;
    OvUInt32 length = 0;
    if (OvStreamFindChunk(stream, ovID_ANIMANIMATION, &length, nullptr)) {
        animation = OvAnimationStreamRead(stream, length);
    }
    OvStreamClose(stream, nullptr);
    return animation;
}

const OvAnimation* OvAnimationSave(const OvAnimation* animation, const char* fileName) {
    OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMWRITE, fileName);
    if (stream == nullptr) {
        return nullptr;
    }
    const OvAnimation* written = OvAnimationStreamWrite(animation, stream);
    return OvStreamClose(stream, nullptr) && written != nullptr ? animation : nullptr;
}

// Interpolators.

OvAnimInterpolator* OvAnimInterpolatorCreate(OvInt32 numNodes, OvInt32 maxInterpKeyFrameSize) {
    if (numNodes < 0 || maxInterpKeyFrameSize < static_cast<OvInt32>(sizeof(OvAnimInterpKeyHeader)) ||
        (numNodes > 0 && maxInterpKeyFrameSize > 0x7FFFFFFF / numNodes)) {
        OvErrorReport(0, ovERRINVALIDVALUE);
        return nullptr;
    }
    const std::size_t bytes = sizeof(OvAnimInterpolator) +
                              static_cast<std::size_t>(numNodes) * static_cast<std::size_t>(maxInterpKeyFrameSize);
    // Zeroed, so that a hierarchy updated before any animation is set gets defined matrices.
    auto* interpolator = static_cast<OvAnimInterpolator*>(OvCalloc(1, bytes, kHintAnimation));
    if (interpolator == nullptr) {
        OvErrorReport(0, ovERRNOMEMORY);
        return nullptr;
    }
    interpolator->pNextFrame = ovANIMNOKEY;
    interpolator->animCallBackTime = -1.0f;
    interpolator->maxInterpKeyFrameSize = maxInterpKeyFrameSize;
    interpolator->currentInterpKeyFrameSize = maxInterpKeyFrameSize;
    interpolator->currentAnimKeyFrameSize = -1;
    interpolator->numNodes = numNodes;
    interpolator->parentAnimation = interpolator;
    return interpolator;
}

OvBool OvAnimInterpolatorDestroy(OvAnimInterpolator* interpolator) {
    OvFree(interpolator);
    return 1;
}

OvBool OvAnimInterpolatorSetCurrentAnim(OvAnimInterpolator* interpolator, OvAnimation* animation) {
    const OvAnimScheme* scheme = animation->interpInfo;
    const OvInt32 n = interpolator->numNodes;
    // An animation made for fewer nodes, or of a scheme whose keys overflow the slots, cannot be
    // played by this interpolator.
    if (animation->numFrames / 2 < n || scheme->interpKeyFrameSize > interpolator->maxInterpKeyFrameSize) {
        OvErrorReport(static_cast<OvInt32>(ovPLUGINIDANIM), ovERRANIMBADDATA);
        return 0;
    }
    interpolator->pCurrentAnim = animation;
    interpolator->currentTime = 0.0f;
    interpolator->currentInterpKeyFrameSize = scheme->interpKeyFrameSize;
    interpolator->currentAnimKeyFrameSize = scheme->animKeyFrameSize;
    interpolator->keyFrameApplyCB = scheme->keyFrameApplyCB;
    interpolator->keyFrameBlendCB = scheme->keyFrameBlendCB;
    interpolator->keyFrameInterpolateCB = scheme->keyFrameInterpolateCB;
    interpolator->keyFrameAddCB = scheme->keyFrameAddCB;
    for (OvInt32 i = 0; i < n; ++i) {
        OvAnimInterpKeyHeader* slot = SlotHeader(interpolator, i);
        scheme->keyFrameInterpolateCB(slot, OvAnimationGetKey(animation, static_cast<OvUInt32>(i)),
                                      OvAnimationGetKey(animation, static_cast<OvUInt32>(n + i)), 0.0f,
                                      animation->customData);
        slot->keyFrame1 = static_cast<OvUInt32>(i);
        slot->keyFrame2 = static_cast<OvUInt32>(n + i);
    }
    interpolator->pNextFrame = static_cast<OvUInt32>(2 * n);
    return 1;
}

OvBool OvAnimInterpolatorAddAnimTime(OvAnimInterpolator* interpolator, float deltaTime) {
    OvAnimation* animation = interpolator->pCurrentAnim;
    if (!(deltaTime > 0.0f) || animation == nullptr) {
        return 1;
    }
    const float oldTime = interpolator->currentTime;
    float time = oldTime + deltaTime;
    bool timed = oldTime < interpolator->animCallBackTime && interpolator->animCallBackTime <= time;
    bool wrapped = false;
    const float duration = animation->duration;
    if (time > duration) {
        wrapped = true;
        // The first reduced time is the largest, so it decides whether a reduced time reaches the
        // callback time.
        time -= duration;
        timed = timed || time >= interpolator->animCallBackTime;
        for (int step = 0; time > duration; ++step) {
            if (step >= kMaxWrapSteps) {
                time = std::fmod(time, duration);
                if (time <= 0.0f) {
                    time = duration;
                }
                break;
            }
            time -= duration;
        }
        OvAnimInterpolatorSetCurrentAnim(interpolator, animation);
        interpolator->currentTime = time;
    }
    if (interpolator->pNextFrame == ovANIMNOKEY) {
        OvAnimInterpolatorSetCurrentAnim(interpolator, animation);
        interpolator->currentTime = time;
    }
    interpolator->currentTime = time;

    const OvInt32 n = interpolator->numNodes;
    const auto numFrames = static_cast<OvUInt32>(animation->numFrames);
    OvInt32 last = -1;
    while (interpolator->pNextFrame < numFrames) {
        const OvUInt32 next = interpolator->pNextFrame;
        const OvUInt32 prev = KeyHeader(animation, next)->prevFrame;
        if (KeyHeader(animation, prev)->time > time) {
            break;
        }
        // The node whose later key is that previous key, searched once round from the node after
        // the last one found. A key that follows no node's later key is passed over.
        for (OvInt32 k = 1; k <= n; ++k) {
            const OvInt32 node = (last + k) % n;
            OvAnimInterpKeyHeader* slot = SlotHeader(interpolator, node);
            if (slot->keyFrame2 == prev) {
                slot->keyFrame1 = prev;
                slot->keyFrame2 = next;
                last = node;
                break;
            }
        }
        interpolator->pNextFrame = next + 1;
    }
    for (OvInt32 i = 0; i < n; ++i) {
        InterpolateNode(interpolator, i);
    }
    if (timed && interpolator->pAnimCallBack != nullptr &&
        interpolator->pAnimCallBack(interpolator, interpolator->pAnimCallBackData) == nullptr) {
        interpolator->pAnimCallBack = nullptr;
    }
    if (wrapped && interpolator->pAnimCallBackEnd != nullptr &&
        interpolator->pAnimCallBackEnd(interpolator, interpolator->pAnimCallBackEndData) == nullptr) {
        interpolator->pAnimCallBackEnd = nullptr;
    }
    return 1;
}

OvBool OvAnimInterpolatorCopy(OvAnimInterpolator* destination, const OvAnimInterpolator* source) {
    // Never more than the source holds.
    const std::size_t want = static_cast<std::size_t>(destination->numNodes) *
                             static_cast<std::size_t>(destination->currentInterpKeyFrameSize);
    const std::size_t have =
        static_cast<std::size_t>(source->numNodes) * static_cast<std::size_t>(source->maxInterpKeyFrameSize);
    std::memcpy(destination + 1, source + 1, want < have ? want : have);
    return 1;
}

OvBool OvAnimInterpolatorBlend(OvAnimInterpolator* out, OvAnimInterpolator* in1, OvAnimInterpolator* in2, float alpha) {
    // An output that never had an animation takes the scheme of the first input.
    if (out->keyFrameBlendCB == nullptr) {
        if (in1->keyFrameBlendCB == nullptr || in1->currentInterpKeyFrameSize > out->maxInterpKeyFrameSize) {
            OvErrorReport(static_cast<OvInt32>(ovPLUGINIDANIM), ovERRANIMBADDATA);
            return 0;
        }
        out->currentInterpKeyFrameSize = in1->currentInterpKeyFrameSize;
        out->currentAnimKeyFrameSize = in1->currentAnimKeyFrameSize;
        out->keyFrameApplyCB = in1->keyFrameApplyCB;
        out->keyFrameBlendCB = in1->keyFrameBlendCB;
        out->keyFrameInterpolateCB = in1->keyFrameInterpolateCB;
        out->keyFrameAddCB = in1->keyFrameAddCB;
    }
    OvInt32 n = out->numNodes;
    n = in1->numNodes < n ? in1->numNodes : n;
    n = in2->numNodes < n ? in2->numNodes : n;
    for (OvInt32 i = 0; i < n; ++i) {
        out->keyFrameBlendCB(OvAnimInterpolatorGetNodeKey(out, i), OvAnimInterpolatorGetNodeKey(in1, i),
                             OvAnimInterpolatorGetNodeKey(in2, i), alpha);
    }
    return 1;
}

OvAnimInterpolator* OvAnimInterpolatorSetAnimCallBack(OvAnimInterpolator* interpolator, OvAnimCallBack callBack,
                                                      float time, void* data) {
    interpolator->pAnimCallBack = callBack;
    interpolator->animCallBackTime = time;
    interpolator->pAnimCallBackData = data;
    return interpolator;
}

OvAnimInterpolator* OvAnimInterpolatorSetAnimLoopCallBack(OvAnimInterpolator* interpolator, OvAnimCallBack callBack,
                                                          void* data) {
    interpolator->pAnimCallBackEnd = callBack;
    interpolator->pAnimCallBackEndData = data;
    return interpolator;
}

// The standard scheme.

void OvAnimStdKeyFrameApply(void* matrix, void* interpFrame) {
    auto* m = static_cast<OvMatrix*>(matrix);
    const auto* f = static_cast<const OvAnimInterpFrame*>(interpFrame);
    const float x = f->q.x, y = f->q.y, z = f->q.z, w = f->q.w;
    m->right = {1.0f - 2.0f * (y * y + z * z), 2.0f * (x * y + w * z), 2.0f * (x * z - w * y)};
    m->up = {2.0f * (x * y - w * z), 1.0f - 2.0f * (x * x + z * z), 2.0f * (y * z + w * x)};
    m->at = {2.0f * (x * z + w * y), 2.0f * (y * z - w * x), 1.0f - 2.0f * (x * x + y * y)};
    m->pos = f->t;
    m->flags = ovMATRIXTYPEORTHONORMAL;
    m->pad1 = m->pad2 = m->pad3 = 0;
}

void OvAnimStdKeyFrameInterpolate(void* out, void* in1, void* in2, float time, void* /*customData*/) {
    auto* k1 = static_cast<OvAnimKeyFrame*>(in1);
    auto* k2 = static_cast<OvAnimKeyFrame*>(in2);
    const float span = k2->time - k1->time;
    // Two keys at one time (a step in the track): the earlier key before that time, the later one from it.
    const float t = span > 0.0f ? (time - k1->time) / span : (time >= k2->time ? 1.0f : 0.0f);
    StdMix(static_cast<OvAnimInterpFrame*>(out), &k1->q, &k1->t, &k2->q, &k2->t, t);
}

void OvAnimStdKeyFrameBlend(void* out, void* in1, void* in2, float alpha) {
    auto* a = static_cast<OvAnimInterpFrame*>(in1);
    auto* b = static_cast<OvAnimInterpFrame*>(in2);
    StdMix(static_cast<OvAnimInterpFrame*>(out), &a->q, &a->t, &b->q, &b->t, alpha);
}

void OvAnimStdKeyFrameAdd(void* out, void* in1, void* in2) {
    const OvAnimInterpFrame a = *static_cast<const OvAnimInterpFrame*>(in1);
    const OvAnimInterpFrame b = *static_cast<const OvAnimInterpFrame*>(in2);
    auto* o = static_cast<OvAnimInterpFrame*>(out);
    o->q.w = a.q.w * b.q.w - (a.q.x * b.q.x + a.q.y * b.q.y + a.q.z * b.q.z);
    o->q.x = a.q.y * b.q.z - a.q.z * b.q.y + a.q.w * b.q.x + b.q.w * a.q.x;
    o->q.y = a.q.z * b.q.x - a.q.x * b.q.z + a.q.w * b.q.y + b.q.w * a.q.y;
    o->q.z = a.q.x * b.q.y - a.q.y * b.q.x + a.q.w * b.q.z + b.q.w * a.q.z;
    o->t = {a.t.x + b.t.x, a.t.y + b.t.y, a.t.z + b.t.z};
}

void OvAnimStdKeyFrameMulRecip(void* frame, void* start) {
    auto* k = static_cast<OvAnimInterpFrame*>(frame);
    const auto* r = static_cast<const OvAnimInterpFrame*>(start);
    const float n = r->q.x * r->q.x + r->q.y * r->q.y + r->q.z * r->q.z + r->q.w * r->q.w;
    // A zero quaternion has no inverse: the rotation is then left as it is.
    if (n > 0.0f) {
        OvAnimInterpFrame inv = *r;
        inv.q = {-r->q.x / n, -r->q.y / n, -r->q.z / n, r->q.w / n};
        OvAnimInterpFrame product;
        product.t = k->t;
        OvAnimStdKeyFrameAdd(&product, &inv, k);
        k->q = product.q;
    }
    k->t = {k->t.x - r->t.x, k->t.y - r->t.y, k->t.z - r->t.z};
}

OvAnimation* OvAnimStdKeyFrameStreamRead(OvStream* stream, OvAnimation* animation) {
    const auto n = static_cast<OvUInt32>(animation->numFrames);
    auto* keys = static_cast<OvAnimKeyFrame*>(animation->pFrames);
    for (OvUInt32 i = 0; i < n; ++i) {
        OvUInt8 b[kStdKeyFileBytes];
        if (OvStreamReadStrict(stream, b, kStdKeyFileBytes) == nullptr) {
            return nullptr;
        }
        OvAnimKeyFrame& k = keys[i];
        k.time = OvChunkGetReal(b);
        k.q = {OvChunkGetReal(b + 4), OvChunkGetReal(b + 8), OvChunkGetReal(b + 12), OvChunkGetReal(b + 16)};
        k.t = {OvChunkGetReal(b + 20), OvChunkGetReal(b + 24), OvChunkGetReal(b + 28)};
        // The previous key must lie in the key array: the interpolator reads its time.
        const OvUInt32 prev = OvChunkGetUInt32(b + 32) / kStdKeyFileBytes;
        if (prev >= n) {
            OvErrorReport(static_cast<OvInt32>(ovPLUGINIDANIM), ovERRANIMBADDATA);
            return nullptr;
        }
        k.prevFrame = prev;
    }
    return animation;
}

OvBool OvAnimStdKeyFrameStreamWrite(const OvAnimation* animation, OvStream* stream) {
    const auto* keys = static_cast<const OvAnimKeyFrame*>(animation->pFrames);
    for (OvInt32 i = 0; i < animation->numFrames; ++i) {
        const OvAnimKeyFrame& k = keys[i];
        const float values[8] = {k.time, k.q.x, k.q.y, k.q.z, k.q.w, k.t.x, k.t.y, k.t.z};
        OvUInt8 b[kStdKeyFileBytes];
        for (int v = 0; v < 8; ++v) {
            OvUInt32 bits;
            std::memcpy(&bits, &values[v], 4);
            OvChunkPutUInt32(b + 4 * v, bits);
        }
        OvChunkPutUInt32(b + 32, k.prevFrame * kStdKeyFileBytes);
        if (OvStreamWrite(stream, b, kStdKeyFileBytes) == nullptr) {
            return 0;
        }
    }
    return 1;
}

OvInt32 OvAnimStdKeyFrameStreamGetSize(const OvAnimation* animation) {
    return animation->numFrames * static_cast<OvInt32>(kStdKeyFileBytes);
}

const OvAnimScheme* OvAnimStdKeyFrameScheme() {
    static const OvAnimScheme scheme = {
        ovANIMSTDKEYFRAMETYPEID,
        static_cast<OvInt32>(sizeof(OvAnimInterpFrame)),
        static_cast<OvInt32>(sizeof(OvAnimKeyFrame)),
        OvAnimStdKeyFrameApply,
        OvAnimStdKeyFrameBlend,
        OvAnimStdKeyFrameInterpolate,
        OvAnimStdKeyFrameAdd,
        OvAnimStdKeyFrameMulRecip,
        OvAnimStdKeyFrameStreamRead,
        OvAnimStdKeyFrameStreamWrite,
        OvAnimStdKeyFrameStreamGetSize,
        0,
    };
    return &scheme;
}
