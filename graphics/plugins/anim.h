#pragma once
// Keyframe animation (engine plugin 0x1B7): a table of keyframe schemes, animations loaded from
// ".ANM" chunks (type 27) into one allocation each, and interpolators that turn an animation and
// a time into one interpolated key per node.
//
// Keys and interpolated keys refer to other keys by their index in the animation's key array
// (not by address), so that a key has the same size in memory as in a file (36 bytes for the
// standard scheme) and a file's maximum key size means the same on every platform.

#include "graphics/core/types.h"
#include "graphics/toolkits/quaternion.h"

struct OvStream;
struct OvAnimation;
struct OvAnimInterpolator;

inline constexpr OvUInt32 ovPLUGINIDANIM = 0x1B7;
inline constexpr OvUInt32 ovID_ANIMANIMATION = 27; // chunk of an animation
inline constexpr OvUInt32 ovANIMSTREAMVERSION = 0x100;
inline constexpr OvInt32 ovANIMMAXSCHEMES = 16;
inline constexpr OvUInt32 ovANIMSTDKEYFRAMETYPEID = 1;
inline constexpr OvUInt32 ovANIMNOKEY = 0xFFFFFFFFu; // no key (an unset key index)

// Codes of plugin 0x1B7.
inline constexpr OvInt32 ovERRANIMDUPLICATESCHEME = 0; // type id registered already
inline constexpr OvInt32 ovERRANIMTOOMANYSCHEMES = 1;  // scheme table full
inline constexpr OvInt32 ovERRANIMUNKNOWNSCHEME = 2;   // no scheme of that type id
inline constexpr OvInt32 ovERRANIMBADDATA = 3;         // animation data that cannot be played

// Head of every key of every scheme.
struct OvAnimKeyHeader {
    OvUInt32 prevFrame; // index of the previous key of the same node
    float time;         // seconds
};

// Head of every interpolated key: the pair of stored keys the node's time lies between.
struct OvAnimInterpKeyHeader {
    OvUInt32 keyFrame1; // index of the earlier key
    OvUInt32 keyFrame2; // index of the later key
};

// Standard key (36 bytes): rotation quaternion and translation.
struct OvAnimKeyFrame {
    OvUInt32 prevFrame; // index of the previous key of the same node
    float time;         // seconds
    OvQuat q;           // rotation
    OvV3d t;            // translation
};
static_assert(sizeof(OvAnimKeyFrame) == 36, "the standard key is 36 bytes in memory and in files");

// Standard interpolated key (36 bytes).
struct OvAnimInterpFrame {
    OvUInt32 keyFrame1; // index of the earlier key
    OvUInt32 keyFrame2; // index of the later key
    OvQuat q;           // rotation
    OvV3d t;            // translation
};
static_assert(sizeof(OvAnimInterpFrame) == 36, "the standard interpolated key is 36 bytes");

using OvAnimKeyFrameApplyCallBack = void (*)(void* matrix, void* interpFrame);
using OvAnimKeyFrameBlendCallBack = void (*)(void* out, void* in1, void* in2, float alpha);
using OvAnimKeyFrameInterpolateCallBack = void (*)(void* out, void* in1, void* in2, float time, void* customData);
using OvAnimKeyFrameAddCallBack = void (*)(void* out, void* in1, void* in2);
using OvAnimKeyFrameMulRecipCallBack = void (*)(void* frame, void* start);
using OvAnimKeyFrameStreamReadCallBack = OvAnimation* (*)(OvStream* stream, OvAnimation* animation);
using OvAnimKeyFrameStreamWriteCallBack = OvBool (*)(const OvAnimation* animation, OvStream* stream);
using OvAnimKeyFrameStreamGetSizeCallBack = OvInt32 (*)(const OvAnimation* animation);

// A keyframe scheme; copied into the scheme table when registered.
struct OvAnimScheme {
    OvUInt32 schemeID;          // type id
    OvInt32 interpKeyFrameSize; // bytes of an interpolated key
    OvInt32 animKeyFrameSize;   // bytes of a key
    OvAnimKeyFrameApplyCallBack keyFrameApplyCB;
    OvAnimKeyFrameBlendCallBack keyFrameBlendCB;
    OvAnimKeyFrameInterpolateCallBack keyFrameInterpolateCB;
    OvAnimKeyFrameAddCallBack keyFrameAddCB;
    OvAnimKeyFrameMulRecipCallBack keyFrameMulRecipCB;
    OvAnimKeyFrameStreamReadCallBack keyFrameStreamReadCB;
    OvAnimKeyFrameStreamWriteCallBack keyFrameStreamWriteCB;
    OvAnimKeyFrameStreamGetSizeCallBack keyFrameStreamGetSizeCB;
    OvInt32 customDataSize; // bytes of custom data per animation
};

// An animation: this header, then the keys, then the custom data, in one allocation.
struct OvAnimation {
    OvAnimScheme* interpInfo; // scheme (an entry of the table)
    OvInt32 numFrames;        // key count
    OvUInt32 flags;           // carried, not interpreted
    float duration;           // seconds, > 0
    void* pFrames;            // first key
    void* customData;         // custom data, or null
};

using OvAnimCallBack = OvAnimInterpolator* (*)(OvAnimInterpolator* interpolator, void* data);

// An interpolator: this header, then node count slots of maxInterpKeyFrameSize bytes each
// (the stride of the slots is currentInterpKeyFrameSize).
struct OvAnimInterpolator {
    OvAnimation* pCurrentAnim;    // current animation, or null
    float currentTime;            // seconds
    OvUInt32 pNextFrame;          // index of the next key to load; ovANIMNOKEY before an animation is set
    OvAnimCallBack pAnimCallBack; // timed callback, or null
    void* pAnimCallBackData;
    float animCallBackTime;          // -1 at creation
    OvAnimCallBack pAnimCallBackEnd; // end-of-animation callback, or null
    void* pAnimCallBackEndData;
    OvInt32 maxInterpKeyFrameSize;     // bytes reserved per node
    OvInt32 currentInterpKeyFrameSize; // stride of the node slots
    OvInt32 currentAnimKeyFrameSize;   // -1 until an animation is set
    OvInt32 numNodes;
    OvAnimInterpolator* parentAnimation; // owner; itself at creation
    OvAnimKeyFrameApplyCallBack keyFrameApplyCB;
    OvAnimKeyFrameBlendCallBack keyFrameBlendCB;
    OvAnimKeyFrameInterpolateCallBack keyFrameInterpolateCB;
    OvAnimKeyFrameAddCallBack keyFrameAddCB;
};

OvBool OvAnimPluginAttach();

// Copies the scheme into the table; 1, or 0 (error {0x1B7, 0} duplicate, {0x1B7, 1} full).
OvBool OvAnimRegisterScheme(const OvAnimScheme* scheme);
// The table's entry of the type id, or null (error {0x1B7, 2}).
OvAnimScheme* OvAnimGetScheme(OvUInt32 schemeID);

// A new animation of numFrames zeroed keys of the scheme; null on a bad argument or no memory.
OvAnimation* OvAnimationCreate(OvUInt32 schemeID, OvInt32 numFrames, OvUInt32 flags, float duration);
// Destroy the interpolators that play it, or give them another animation, first: they keep no back-link.
OvBool OvAnimationDestroy(OvAnimation* animation);
// Reads the body of an animation chunk (the caller found the header); null on failure.
// The chunk length bounds what is allocated.
OvAnimation* OvAnimationStreamRead(OvStream* stream, OvUInt32 chunkLength);
// Writes the whole chunk (header and body); the animation, or null on failure.
const OvAnimation* OvAnimationStreamWrite(const OvAnimation* animation, OvStream* stream);
// Body length of the animation's chunk.
OvUInt32 OvAnimationStreamGetSize(const OvAnimation* animation);
// Finds the animation chunk in the named file and reads it; null on failure.
OvAnimation* OvAnimationLoad(const char* fileName);
// Writes the animation chunk to the named file; the animation, or null on failure.
const OvAnimation* OvAnimationSave(const OvAnimation* animation, const char* fileName);
// Key i of the animation.
inline void* OvAnimationGetKey(const OvAnimation* animation, OvUInt32 index) {
    return static_cast<OvUInt8*>(animation->pFrames) +
           static_cast<std::size_t>(index) * static_cast<std::size_t>(animation->interpInfo->animKeyFrameSize);
}

OvAnimInterpolator* OvAnimInterpolatorCreate(OvInt32 numNodes, OvInt32 maxInterpKeyFrameSize);
// Destroy only interpolators you made: a hierarchy's goes with the hierarchy.
OvBool OvAnimInterpolatorDestroy(OvAnimInterpolator* interpolator);
// Sets the animation and puts every node at time 0. Returns 0 and changes nothing when the
// animation has fewer than two keys a node or its interpolated keys do not fit the slots.
OvBool OvAnimInterpolatorSetCurrentAnim(OvAnimInterpolator* interpolator, OvAnimation* animation);
OvBool OvAnimInterpolatorAddAnimTime(OvAnimInterpolator* interpolator, float deltaTime);
OvBool OvAnimInterpolatorCopy(OvAnimInterpolator* destination, const OvAnimInterpolator* source);
OvBool OvAnimInterpolatorBlend(OvAnimInterpolator* out, OvAnimInterpolator* in1, OvAnimInterpolator* in2, float alpha);
// The callbacks run at the end of OvAnimInterpolatorAddAnimTime; they may set another animation, not
// destroy the interpolator. A callback returning null is removed.
OvAnimInterpolator* OvAnimInterpolatorSetAnimCallBack(OvAnimInterpolator* interpolator, OvAnimCallBack callBack,
                                                      float time, void* data);
OvAnimInterpolator* OvAnimInterpolatorSetAnimLoopCallBack(OvAnimInterpolator* interpolator, OvAnimCallBack callBack,
                                                          void* data);
// Interpolated key of node i.
inline void* OvAnimInterpolatorGetNodeKey(const OvAnimInterpolator* interpolator, OvInt32 node) {
    return reinterpret_cast<OvUInt8*>(const_cast<OvAnimInterpolator*>(interpolator) + 1) +
           static_cast<std::size_t>(node) * static_cast<std::size_t>(interpolator->currentInterpKeyFrameSize);
}

// The standard scheme (type 1).
void OvAnimStdKeyFrameApply(void* matrix, void* interpFrame);
void OvAnimStdKeyFrameBlend(void* out, void* in1, void* in2, float alpha);
void OvAnimStdKeyFrameInterpolate(void* out, void* in1, void* in2, float time, void* customData);
void OvAnimStdKeyFrameAdd(void* out, void* in1, void* in2);
void OvAnimStdKeyFrameMulRecip(void* frame, void* start);
OvAnimation* OvAnimStdKeyFrameStreamRead(OvStream* stream, OvAnimation* animation);
OvBool OvAnimStdKeyFrameStreamWrite(const OvAnimation* animation, OvStream* stream);
OvInt32 OvAnimStdKeyFrameStreamGetSize(const OvAnimation* animation);
// The standard scheme's record (registered by the hierarchy plugin).
const OvAnimScheme* OvAnimStdKeyFrameScheme();
