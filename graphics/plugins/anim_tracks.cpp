#include "graphics/plugins/anim_tracks.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "graphics/core/error.h"

OvAnimation* OvAnimationCreateFromTracks(OvInt32 numNodes, const OvAnimTrackKey* const* tracks, const OvInt32* counts,
                                         float duration) {
    if (numNodes < 0) {
        OvErrorReport(0, ovERRINVALIDVALUE);
        return nullptr;
    }
    struct Later {
        float prevTime; // time of the key before it on its track
        OvInt32 node;
        OvInt32 index; // position on the track
    };
    std::vector<Later> later;
    std::int64_t total = 0;
    for (OvInt32 i = 0; i < numNodes; ++i) {
        const OvAnimTrackKey* track = tracks[i];
        if (counts[i] < 2 || track[0].time != 0.0f || track[counts[i] - 1].time != duration) {
            OvErrorReport(0, ovERRINVALIDVALUE);
            return nullptr;
        }
        for (OvInt32 k = 1; k < counts[i]; ++k) {
            if (!(track[k].time >= track[k - 1].time)) {
                OvErrorReport(0, ovERRINVALIDVALUE);
                return nullptr;
            }
            if (k >= 2) {
                later.push_back({track[k - 1].time, i, k});
            }
        }
        total += counts[i];
    }
    if (total > 0x7FFFFFFF / static_cast<std::int64_t>(sizeof(OvAnimKeyFrame))) {
        OvErrorReport(0, ovERRINVALIDVALUE);
        return nullptr;
    }
    std::stable_sort(later.begin(), later.end(), [](const Later& a, const Later& b) {
        return a.prevTime < b.prevTime || (a.prevTime == b.prevTime && a.node < b.node);
    });
    OvAnimation* animation = OvAnimationCreate(ovANIMSTDKEYFRAMETYPEID, static_cast<OvInt32>(total), 0, duration);
    if (animation == nullptr) {
        return nullptr;
    }
    auto* keys = static_cast<OvAnimKeyFrame*>(animation->pFrames);
    // Where each node's latest placed key sits, to link the next one to it.
    std::vector<OvUInt32> lastPlaced(static_cast<std::size_t>(numNodes));
    OvUInt32 out = 0;
    auto place = [&](OvInt32 node, OvInt32 index, OvUInt32 prev) {
        const OvAnimTrackKey& k = tracks[node][index];
        keys[out] = {prev, k.time, k.q, k.t};
        lastPlaced[static_cast<std::size_t>(node)] = out;
        ++out;
    };
    for (OvInt32 i = 0; i < numNodes; ++i) {
        place(i, 0, static_cast<OvUInt32>(i));
    }
    for (OvInt32 i = 0; i < numNodes; ++i) {
        place(i, 1, static_cast<OvUInt32>(i));
    }
    for (const Later& l : later) {
        place(l.node, l.index, lastPlaced[static_cast<std::size_t>(l.node)]);
    }
    return animation;
}
